// Writes a disk image for the whole-scan benchmark.
//
//   make_bench_image OUT SIZE_MIB KIND
//
// KIND "mixed": 1 MiB blocks in turn of zeros, random bytes, CR LF text without headers, LF text,
// and random bytes with messages stored at sector starts. "text": CR LF text only, no message.
// "mail": a message at the start of every 64 KiB, random bytes between. "headers": header lines of
// 64 bytes and no empty line anywhere, so every sector opens like a header block that never
// closes (the deep rule's worst case). The content is the same for the same arguments.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kBlock = 1 << 20;

struct TRandom {
    std::uint64_t State = 0x9E3779B97F4A7C15ull;
    std::uint64_t Next() {
        State ^= State << 13;
        State ^= State >> 7;
        State ^= State << 17;
        return State;
    }
};

void FillRandom(std::string& Block, TRandom& Rng) {
    for (std::size_t i = 0; i + 8 <= Block.size(); i += 8) {
        const std::uint64_t v = Rng.Next();
        for (int b = 0; b < 8; ++b)
            Block[i + b] = static_cast<char>(v >> (8 * b));
    }
}

const char* const kWords[] = {"the",    "drive",  "sector", "report",   "quarterly", "figures",
                              "moved",  "to",     "page",   "meeting",  "notes",     "and",
                              "budget", "review", "of",     "shipping", "schedule",  "for",
                              "March",  "with",   "totals", "pending",  "approval",  "items"};

void FillText(std::string& Block, TRandom& Rng, const char* LineEnd) {
    std::size_t i = 0;
    std::string line;
    while (i < Block.size()) {
        line.clear();
        const std::size_t words = 6 + Rng.Next() % 10;
        for (std::size_t w = 0; w < words; ++w) {
            if (w)
                line += ' ';
            line += kWords[Rng.Next() % (sizeof kWords / sizeof kWords[0])];
        }
        line += LineEnd;
        for (char c : line) {
            if (i == Block.size())
                break;
            Block[i++] = c;
        }
    }
}

std::string Message(std::uint64_t N) {
    std::string m = "Return-Path: <sender" + std::to_string(N) +
                    "@example.org>\r\n"
                    "From: Sender " +
                    std::to_string(N) +
                    " <sender@example.org>\r\n"
                    "To: Receiver <receiver@example.org>\r\n"
                    "Subject: Benchmark message " +
                    std::to_string(N) +
                    "\r\n"
                    "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\n"
                    "Message-ID: <bench-" +
                    std::to_string(N) + "@example.org>\r\n\r\n";
    for (int l = 0; l < 20; ++l)
        m += "Body line " + std::to_string(l) + " of a benchmark message, plain text.\r\n";
    return m;
}

void FillHeaders(std::string& Block, std::uint64_t& Line) {
    const char* const names[] = {"Received", "From", "To", "X-Mailer", "Subject", "Date"};
    for (std::size_t at = 0; at + 64 <= Block.size(); at += 64, ++Line) {
        std::string line = std::string(names[Line % 6]) + ": line " + std::to_string(Line) + " ";
        line.resize(62, 'h');
        Block.replace(at, 64, line + "\r\n");
    }
}

void Put(std::string& Block, std::size_t At, const std::string& Bytes) {
    if (At + Bytes.size() + 1 > Block.size())
        return;
    Block.replace(At, Bytes.size(), Bytes);
    Block[At + Bytes.size()] = '\0'; // the stored text ends here
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: make_bench_image OUT SIZE_MIB mixed|text|mail|headers\n";
        return 2;
    }
    const std::string out = argv[1];
    const std::uint64_t mib = std::strtoull(argv[2], nullptr, 10);
    const std::string kind = argv[3];
    if (mib == 0 || (kind != "mixed" && kind != "text" && kind != "mail" && kind != "headers")) {
        std::cerr << "make_bench_image: bad size or kind\n";
        return 2;
    }
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    if (!file) {
        std::cerr << "make_bench_image: cannot write " << out << "\n";
        return 1;
    }
    TRandom rng;
    std::string block(kBlock, '\0');
    std::uint64_t messages = 0, lines = 0;
    for (std::uint64_t b = 0; b < mib; ++b) {
        if (kind == "headers") {
            FillHeaders(block, lines);
        } else if (kind == "text") {
            FillText(block, rng, "\r\n");
        } else if (kind == "mail") {
            FillRandom(block, rng);
            for (std::size_t at = 0; at < kBlock; at += 65536)
                Put(block, at, Message(messages++));
        } else {
            switch (b % 5) {
            case 0:
                block.assign(kBlock, '\0');
                break;
            case 1:
                FillRandom(block, rng);
                break;
            case 2:
                FillText(block, rng, "\r\n");
                break;
            case 3:
                FillText(block, rng, "\n");
                break;
            default:
                FillRandom(block, rng);
                for (int m = 0; m < 4; ++m)
                    Put(block, (rng.Next() % (kBlock / 512 - 8)) * 512, Message(messages++));
            }
        }
        file.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    file.close();
    if (!file) {
        std::cerr << "make_bench_image: write failed for " << out << "\n";
        return 1;
    }
    std::cout << out << ": " << mib << " MiB, " << messages << " messages\n";
    return 0;
}
