// Disk buffer costs, each printed as a ratio against a baseline measured in the same run:
//  - one request of a two-sector window, and of one byte, against a memcpy of the same bytes;
//  - a whole pass over a page-cached image (a window per sector, as the scan asks) against
//    `cat IMAGE >/dev/null`.
// Usage: bench_disk [IMAGE_MIB (default 1024)] [FOLDER (default: the system's temporary folder)]

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "disk/DiskBuffer.h"
#include "disk/DriveProbe.h"
#include "disk/SystemLayer.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point Since) {
    return std::chrono::duration<double>(Clock::now() - Since).count();
}

// Keeps the compiler from dropping work whose result is otherwise unused.
volatile std::uint64_t gSink = 0;

void MakeImage(const std::string& Path, std::uint64_t Bytes) {
    if (std::filesystem::exists(Path) && std::filesystem::file_size(Path) == Bytes) return;
    std::ofstream out(Path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1 << 20);
    for (std::uint64_t at = 0; at < Bytes; at += block.size()) {
        for (std::size_t i = 0; i < block.size(); i += 64)
            block[i] = static_cast<char>((at + i) / 512 * 31);
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

double CatSeconds(const std::string& Path) {
    const std::string command = "cat '" + Path + "' >/dev/null";
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cat failed\n");
    return Seconds(start);
}

// Per-request cost inside one chunk, over the first 512 sectors (which stay in the processor's
// cache, so the figure is the cost of the call rather than of memory traffic), many rounds.
template <typename Request> double PerCall(Request&& Ask, std::uint64_t Sectors, int Rounds) {
    const auto start = Clock::now();
    std::uint64_t calls = 0;
    for (int r = 0; r < Rounds; ++r)
        for (std::uint64_t s = 1; s + 2 < Sectors; ++s, ++calls)
            Ask(s * 512);
    return Seconds(start) / static_cast<double>(calls) * 1e9;
}

// The image's own reader, read ahead as raw volumes and EWF images are, to weigh the thread.
class TReadAheadFile final : public TDriveReader {
  public:
    explicit TReadAheadFile(std::unique_ptr<TDriveReader> Inner) : FInner(std::move(Inner)) {}
    std::int64_t ReadAt(void* Target, std::uint64_t Count, std::uint64_t Offset) override {
        return FInner->ReadAt(Target, Count, Offset);
    }
    std::uint64_t Size() const override { return FInner->Size(); }
    std::uint32_t SectorSize() const override { return FInner->SectorSize(); }
    bool MayReadAhead() const override { return true; }

  private:
    std::unique_ptr<TDriveReader> FInner;
};

// A pass as the scan walks, with work on every byte of each window standing in for carving, so
// that reading and testing cost about the same: on demand they add up, read ahead they overlap
// where the machine has a core to spare.
double CarvingPass(const std::string& Image, bool Ahead) {
    const auto start = Clock::now();
    TDriveProbe probe = ProbeDrive(PlatformSystem(), Image);
    TDiskBuffer buffer(std::make_unique<TReadAheadFile>(std::move(probe.Reader)), 20971520);
    if (Ahead) buffer.StartReadAhead();
    const auto sectors = static_cast<std::uint64_t>(buffer.TotalSectors());
    std::uint64_t sum = 0;
    for (std::uint64_t s = 1; s < sectors; ++s) {
        buffer.ReleaseBefore(s * 512);
        const std::string_view window = buffer.View(512, s * 512);
        for (std::size_t i = 0; i < window.size(); i += 8)
            sum = sum * 31 + static_cast<unsigned char>(window[i]);
    }
    gSink = gSink + sum;
    return Seconds(start);
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const std::filesystem::path folder =
        argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path();
    const std::string image = (folder / "pw-bench-disk.img").string();
    MakeImage(image, mib << 20);
    CatSeconds(image); // into the page cache

    // --- per request ---
    TDiskBuffer buffer(image, 20971520);
    const std::uint64_t chunk = 512;
    std::vector<char> drive(static_cast<std::size_t>(chunk + 2) * 512);
    {
        std::ifstream in(image, std::ios::binary);
        in.read(drive.data(), static_cast<std::streamsize>(drive.size()));
    }
    char target[1024];
    const int rounds = 4000;
    const double memcpyWindow = PerCall(
        [&](std::uint64_t at) {
            std::memcpy(target, drive.data() + at, 1024);
            gSink = gSink + static_cast<unsigned char>(target[at % 1024]);
        },
        chunk, rounds);
    const double getDataWindow = PerCall(
        [&](std::uint64_t at) {
            const TBuffData data = buffer.GetData(1024, at);
            gSink = gSink + static_cast<unsigned char>(data[at % 1024]);
        },
        chunk, rounds);
    const double viewWindow = PerCall(
        [&](std::uint64_t at) {
            gSink = gSink + static_cast<unsigned char>(buffer.View(1024, at)[at % 1024]);
        },
        chunk, rounds);
    const double memcpyByte = PerCall(
        [&](std::uint64_t at) {
            std::memcpy(target, drive.data() + at + 7, 1);
            gSink = gSink + static_cast<unsigned char>(target[0]);
        },
        chunk, rounds);
    const double getDataByte = PerCall(
        [&](std::uint64_t at) {
            gSink = gSink + static_cast<unsigned char>(buffer.GetData(1, at + 7)[0]);
        },
        chunk, rounds);
    const double viewByte = PerCall(
        [&](std::uint64_t at) {
            gSink = gSink + static_cast<unsigned char>(buffer.View(1, at + 7)[0]);
        },
        chunk, rounds);

    std::printf(
        "two-sector window: memcpy %.1f ns, GetData %.1f ns (x%.2f), View %.1f ns (x%.2f)\n",
        memcpyWindow, getDataWindow, getDataWindow / memcpyWindow, viewWindow,
        viewWindow / memcpyWindow);
    std::printf(
        "one byte:          memcpy %.1f ns, GetData %.1f ns (x%.2f), View %.1f ns (x%.2f)\n",
        memcpyByte, getDataByte, getDataByte / memcpyByte, viewByte, viewByte / memcpyByte);

    // --- whole pass ---
    // A window per sector, with the sectors passed released as the scan releases them, and then
    // never released (the chunk's whole 40 MiB held in memory).
    const double cat = CatSeconds(image);
    const auto pass = [&](bool Release) {
        const auto start = Clock::now();
        TDiskBuffer buffer(image, 20971520);
        const auto sectors = static_cast<std::uint64_t>(buffer.TotalSectors());
        std::uint64_t sum = 0;
        for (std::uint64_t s = 1; s < sectors; ++s) {
            if (Release) buffer.ReleaseBefore(s * 512);
            sum += static_cast<unsigned char>(buffer.View(1024, s * 512)[0]);
        }
        gSink = gSink + sum;
        return Seconds(start);
    };
    const double whole = pass(true);
    const double unreleased = pass(false);
    // Reading alone: each chunk placed and asked for in 64 KiB pieces, released behind.
    const auto readsStart = Clock::now();
    {
        TDiskBuffer reads(image, 20971520);
        const auto sectors = static_cast<std::uint64_t>(reads.TotalSectors());
        for (std::uint64_t s = 1; s + 2 < sectors; s += 81918) {
            reads.LoadChunk(s * 512);
            const std::uint64_t end = std::min(s + 81918, sectors - 2) * 512;
            for (std::uint64_t at = s * 512; at < end; at += 65536) {
                reads.ReleaseBefore(at);
                gSink = gSink +
                        static_cast<unsigned char>(reads.View(
                            static_cast<std::uint32_t>(std::min<std::uint64_t>(65536, end - at)),
                            at)[0]);
            }
        }
    }
    const double chunkReads = Seconds(readsStart);
    const double gib = static_cast<double>(mib) / 1024.0;
    std::printf("whole pass of %llu MiB (window per sector): cat %.3f s (%.2f GiB/s), "
                "TDiskBuffer %.3f s (%.2f GiB/s), ratio x%.2f of cat\n",
                static_cast<unsigned long long>(mib), cat, gib / cat, whole, gib / whole,
                whole / cat);
    std::printf("  never releasing what was passed: %.3f s, x%.2f of cat\n", unreleased,
                unreleased / cat);
    std::printf("of which chunk reads alone: %.3f s (x%.2f of cat)\n", chunkReads,
                chunkReads / cat);
    // --- reading ahead ---
    double onDemand = 1e9, readAhead = 1e9;
    for (int round = 0; round < 3; ++round) { // alternating, best of three each
        onDemand = std::min(onDemand, CarvingPass(image, false));
        readAhead = std::min(readAhead, CarvingPass(image, true));
    }
    std::printf("pass with carving-like work per window: on demand %.3f s, read ahead %.3f s "
                "(x%.2f of on demand), cat %.3f s\n",
                onDemand, readAhead, readAhead / onDemand, cat);
    std::filesystem::remove(image);
    return 0;
}
