// The image of bench_deep.sh's "deepmail" run, and what each rule recovers of it: a mixed image
// (zeros, binary noise, text whose lines look like headers now and then) in which a tenth of the
// 1 MiB blocks are mail stores of real-world-shaped messages, one at each sector-aligned place.
// Prints how many of the planted messages the standard scan and the deep scan recover whole and
// how many other pieces each lists. With "unix", the image of the "unixmail" run instead: mail
// dense, every 1 MiB block a Unix mail store of LF messages, Maildir files at sector starts or an
// mbox file.
//
//   bench_deep IMAGE MIB [unix] (the image is written when missing; same bytes for the same size)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "engine/ScanHardDisk.h"
#include "tests/engine/deep/DeepCorpus.h"
#include "tests/engine/deep/UnixMail.h"

namespace {

constexpr std::size_t MiB = 1024 * 1024;
constexpr std::size_t SectorSize = 512;

struct TXorShift {
    std::uint64_t State = 88172645463325252ull;
    std::uint64_t operator()() {
        State ^= State << 13;
        State ^= State >> 7;
        State ^= State << 17;
        return State;
    }
};

const char* const Lines[] = {
    "The quick brown fox jumps over the lazy dog near the river bank today.\r\n",
    "Note: the build server restarts every night at two.\r\n",
    "Status: done\r\n",
    "    return value; // keep: this for later\n",
    "<p>Dear customer, your order has shipped.</p>\r\n",
    "Key: value\r\n",
    "Regards, the team\r\n"};

// One MiB of one kind: zeros, noise, text of several shapes, or stored mail.
void FillBlock(std::string& Block, int Kind, TXorShift& Rng, TDeepCorpus& Mail, std::size_t& MailAt,
               std::uint64_t BlockOffset, std::vector<std::string>& Planted,
               std::vector<std::uint64_t>& PlantedAt) {
    Block.assign(MiB, '\0');
    switch (Kind) {
    case 0: // zeros (free space)
        break;
    case 1: // binary
        for (std::size_t i = 0; i + 8 <= MiB; i += 8) {
            const std::uint64_t v = Rng();
            std::memcpy(&Block[i], &v, 8);
        }
        break;
    case 2: { // text of lines that look like headers now and then
        std::size_t p = 0;
        while (p < MiB) {
            const std::string_view Line = Lines[Rng() % std::size(Lines)];
            const std::size_t n = std::min(Line.size(), MiB - p);
            std::memcpy(&Block[p], Line.data(), n);
            p += n;
        }
        break;
    }
    case 4: { // LF Maildir files at sector starts
        std::size_t p = 0;
        for (;;) {
            const std::string Message = MakeUnixMessage(static_cast<unsigned>(Rng()),
                                                        static_cast<int>(Rng() % UnixKinds));
            if (p + Message.size() + 1 > MiB) break;
            std::memcpy(&Block[p], Message.data(), Message.size());
            Planted.push_back(Message);
            PlantedAt.push_back(BlockOffset + p);
            p = (p + Message.size() + 1 + SectorSize - 1) / SectorSize * SectorSize;
        }
        break;
    }
    case 5: { // an LF mbox file
        std::vector<std::string> Messages;
        std::size_t Size = 0;
        const unsigned Seed = static_cast<unsigned>(Rng());
        for (;;) {
            std::string Message = MakeUnixMessage(static_cast<unsigned>(Rng()),
                                                  static_cast<int>(Rng() % UnixKinds));
            Size += Message.size() + 80;
            if (Size + 1 > MiB) break;
            Messages.push_back(std::move(Message));
        }
        const std::string File = MboxFile(Messages, Seed);
        std::memcpy(&Block[0], File.data(), File.size());
        for (const std::string& Message : Messages) {
            Planted.push_back(Message);
            PlantedAt.push_back(BlockOffset + File.find(Message));
        }
        break;
    }
    default: { // a mail store: messages at sector starts, the rest of each sector zeros
        std::size_t p = 0;
        while (true) {
            if (MailAt == Mail.Messages.size()) {
                Mail = MakeDeepCorpus(static_cast<unsigned>(Rng()), 64);
                MailAt = 0;
            }
            const std::string& Message = Mail.Messages[MailAt];
            if (p + Message.size() + 1 > MiB) break;
            std::memcpy(&Block[p], Message.data(), Message.size());
            Planted.push_back(Message);
            PlantedAt.push_back(BlockOffset + p);
            ++MailAt;
            p = (p + Message.size() + 1 + SectorSize - 1) / SectorSize * SectorSize;
        }
        break;
    }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 && !(argc == 4 && std::string(argv[3]) == "unix")) {
        std::cerr << "usage: bench_deep IMAGE MIB [unix]\n";
        return 2;
    }
    const bool Unix = argc == 4;
    const std::string Path = argv[1];
    const std::size_t SizeMiB = std::strtoull(argv[2], nullptr, 10);
    if (SizeMiB == 0) {
        std::cerr << "bench_deep: bad size\n";
        return 2;
    }

    // The planted list is rebuilt every run (the same seed gives the same bytes); the image is
    // written only when missing.
    TDeepCorpus Mail;
    std::size_t MailAt = 0;
    TXorShift Rng;
    TDeepCorpus Planted;
    const bool Exists =
        std::filesystem::exists(Path) && std::filesystem::file_size(Path) == SizeMiB * MiB;
    const std::string Part = Path + ".part";
    std::ofstream Out;
    if (!Exists) Out.open(Part, std::ios::binary | std::ios::trunc);
    std::string Block;
    for (std::size_t b = 0; b < SizeMiB; ++b) {
        const std::uint64_t r = Rng() % 100;
        const int Kind = b == 0 ? 0
                         : Unix ? (r < 50 ? 4 : 5)
                                : (r < 35 ? 0 : r < 65 ? 1 : r < 90 ? 2 : 3);
        FillBlock(Block, Kind, Rng, Mail, MailAt, b * MiB, Planted.Messages, Planted.Offsets);
        if (!Exists) Out.write(Block.data(), static_cast<std::streamsize>(Block.size()));
    }
    if (!Exists) {
        Out.close();
        if (!Out) {
            std::cerr << "bench_deep: cannot write " << Part << "\n";
            return 1;
        }
        std::filesystem::rename(Part, Path);
    }

    std::printf("%s: %zu MiB, %zu planted messages\n", Unix ? "unixmail" : "deepmail", SizeMiB,
                Planted.Messages.size());
    double Seconds[2] = {0, 0};
    for (const bool Deep : {false, true}) {
        TScanOptions Options;
        Options.Rule = Deep ? TCarvingRule::Deep : TCarvingRule::Standard;
        std::vector<std::string> Found;
        // The engine alone, without the front end's listing of what it finds.
        const auto Begin = std::chrono::steady_clock::now();
        TScanResult Result = TScanHardDisk(Path, Options, NullScanHost()).ScanDrive();
        Seconds[Deep] = std::chrono::duration<double>(std::chrono::steady_clock::now() - Begin).count();
        for (const TEmail& Email : Result.Emails)
            Found.push_back(Email.FullText);
        const TDeepTally Tally = TallyFound(Planted, Found);
        std::printf("  %-8s scan: %zu of %zu planted messages whole, %zu other pieces listed\n",
                    Deep ? "deep" : "standard", Tally.Whole, Planted.Messages.size(),
                    Tally.Invented);
    }
    std::printf("  engine alone: standard %.0f MiB/s, deep %.0f MiB/s, ratio %.2f\n",
                static_cast<double>(SizeMiB) / Seconds[0], static_cast<double>(SizeMiB) / Seconds[1],
                Seconds[0] / Seconds[1]);
    return 0;
}
