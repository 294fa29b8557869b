// Deep scan against the standard scan on one large mixed disk image, side by side in one run:
// both walk the same page-cached image through the scan driver, and the figures printed are
// throughputs and their ratio (deep / standard). Also prints what each rule recovers of the
// planted messages in the image.
//
//   bench_deep [IMAGE [MiB]]   (default: /tmp/pw-deep-bench.img, 2048 MiB; built when missing)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "DeepCorpus.h"
#include "ScanHardDisk.h"

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

double Seconds(std::chrono::steady_clock::time_point Since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - Since).count();
}

} // namespace

int main(int argc, char** argv) {
    const std::string Path = argc > 1 ? argv[1] : "/tmp/pw-deep-bench.img";
    const std::size_t SizeMiB = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2048;

    // The image and the messages planted in it (rebuilt each run: the list is needed anyway, and
    // the same seed gives the same bytes).
    TDeepCorpus Mail;
    std::size_t MailAt = 0;
    TXorShift Rng;
    TDeepCorpus Planted;
    {
        const bool Exists =
            std::filesystem::exists(Path) && std::filesystem::file_size(Path) == SizeMiB * MiB;
        std::ofstream Out;
        if (!Exists) Out.open(Path, std::ios::binary | std::ios::trunc);
        std::string Block;
        for (std::size_t b = 0; b < SizeMiB; ++b) {
            const std::uint64_t r = Rng() % 100;
            const int Kind = b == 0 ? 0 : r < 35 ? 0 : r < 65 ? 1 : r < 90 ? 2 : 3;
            FillBlock(Block, Kind, Rng, Mail, MailAt, b * MiB, Planted.Messages, Planted.Offsets);
            if (!Exists) Out.write(Block.data(), static_cast<std::streamsize>(Block.size()));
        }
        if (!Exists && !Out) {
            std::cerr << "cannot write " << Path << "\n";
            return 1;
        }
    }
    std::printf("image %s: %zu MiB, %zu planted messages\n", Path.c_str(), SizeMiB,
                Planted.Messages.size());

    // Warm the page cache, then alternate the two scans so both see the same conditions.
    {
        std::ifstream In(Path, std::ios::binary);
        std::string Buffer(8 * MiB, '\0');
        while (In.read(Buffer.data(), static_cast<std::streamsize>(Buffer.size())))
            ;
    }
    double Best[2] = {1e30, 1e30};
    std::vector<std::string> Found[2];
    for (int Round = 0; Round < 2; ++Round) {
        for (int Deep = 0; Deep < 2; ++Deep) {
            const auto Start = std::chrono::steady_clock::now();
            TScanHardDisk Scanner(Path, NullScanHost());
            Scanner.SetDeepScan(Deep != 0);
            const TEmailArray List = Scanner.ScanDrive();
            Best[Deep] = std::min(Best[Deep], Seconds(Start));
            Found[Deep].clear();
            for (const TEmail& Email : List)
                Found[Deep].push_back(Email.FullText);
        }
    }
    const char* Names[2] = {"standard", "deep"};
    for (int Deep = 0; Deep < 2; ++Deep) {
        const TDeepTally Tally = TallyFound(Planted, Found[Deep]);
        std::printf("%-8s scan: %7.1f MiB/s, %zu found, %zu of %zu planted whole, %zu other\n",
                    Names[Deep], static_cast<double>(SizeMiB) / Best[Deep], Found[Deep].size(),
                    Tally.Whole, Planted.Messages.size(), Tally.Invented);
    }
    std::printf("ratio deep/standard throughput: %.3f (goal 0.8 or better)\n", Best[0] / Best[1]);
    return 0;
}
