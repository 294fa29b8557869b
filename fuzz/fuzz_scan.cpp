// A whole scan of an in-memory drive of any size and sector size through the disk buffer, with an
// unreadable stretch and sparse holes chosen by the input. The scan always ends, never reads
// sector 0, opens and closes its progress once with the true sector count, finds only messages
// whose bytes stand on the drive (unreadable sectors as zeros, nothing stale), in drive order;
// and reporting holes changes nothing. Either carving rule, as the input chooses.

#include <memory>
#include <string>
#include <vector>

#include "disk/DiskBuffer.h"
#include "engine/ScanHardDisk.h"
#include "fuzz/FuzzSupport.h"
#include "tests/harden/FaultySystem.h"

namespace {

class TCountingHost : public TScanHost {
  public:
    std::vector<std::uint64_t> Opens;
    int Closes = 0;
    std::uint64_t LastPosition = 0;
    void ProgressOpen(std::uint64_t maximum) override { Opens.push_back(maximum); }
    void ProgressPosition(std::uint64_t position) override {
        FUZZ_CHECK(position > LastPosition); // only forward
        LastPosition = position;
    }
    void ProgressClose() override { ++Closes; }
};

struct TOutcome {
    TEmailArray Emails;
    std::vector<std::uint64_t> Offsets;
    std::uint64_t Unreadable = 0;
};

TOutcome Scan(TFaultySystem& System, std::uint32_t BufferSize, TCarvingRule Rule) {
    TCountingHost host;
    TScanHardDisk scan(std::make_unique<TDiskBuffer>(System.Path, BufferSize, System),
                       TScanOptions{0, Rule}, host);
    TOutcome r;
    TScanResult result = scan.ScanDrive();
    r.Emails = result.Emails.ToArray();
    for (const TEmailPlace& place : result.Places)
        r.Offsets.push_back(place.Offset);
    r.Unreadable = result.UnreadableSectors;
    FUZZ_CHECK(host.Opens.size() == 1 && host.Opens[0] == System.Bytes.size() / System.SectorSize);
    FUZZ_CHECK(host.Closes == 1);
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    TFuzzInput in(Data, Size);
    const std::uint8_t shape = in.Byte();
    const std::uint32_t sector = 512u << (shape & 3); // 512 to 4096
    // Small chunks (a few sectors) so that seams, reloads and the drive's end are all reached.
    const std::uint32_t bufferSize = sector * (1 + ((shape >> 2) & 7));
    const std::uint32_t badFirst = in.Word(), badLength = in.Byte() * 16;
    const std::uint32_t maxRead = in.Byte();
    const TCarvingRule rule = (maxRead & 1) ? TCarvingRule::Deep : TCarvingRule::Standard;
    std::string bytes(in.Rest());
    if (bytes.size() < sector) return 0; // no whole sector: creation refuses it (tested elsewhere)

    TFaultySystem plain;
    plain.SectorSize = sector;
    plain.Bytes = bytes;
    const TOutcome a = Scan(plain, bufferSize, rule);
    FUZZ_CHECK(a.Unreadable == 0);
    // Only the sectors the scan examined and read are ever asked for: never sector 0.
    for (std::size_t i = 0; i < a.Emails.size(); ++i) {
        FUZZ_CHECK(a.Offsets[i] >= sector);
        FUZZ_CHECK(i == 0 || a.Offsets[i] > a.Offsets[i - 1]);
        FUZZ_CHECK(bytes.compare(a.Offsets[i], a.Emails[i].FullText.size(), a.Emails[i].FullText) ==
                   0);
    }

    // Holes reported where the drive holds zeros: the same results.
    TFaultySystem sparse = plain;
    sparse.HolesFromZeros(1 + (shape >> 5));
    const TOutcome b = Scan(sparse, bufferSize, rule);
    FUZZ_CHECK(b.Emails == a.Emails && b.Offsets == a.Offsets);

    // An unreadable stretch and short reads: the result is that of a drive whose unreadable
    // sectors hold zeros, and each of those sectors is counted once.
    if (badLength > 0) {
        TFaultySystem faulty = plain;
        faulty.BadBytes = {{badFirst, std::uint64_t{badFirst} + badLength}};
        faulty.MaxReadBytes = maxRead;
        TFaultySystem zeroed = plain;
        const std::uint64_t total = bytes.size() / sector;
        const std::uint64_t first = badFirst / sector;
        const std::uint64_t end =
            std::min<std::uint64_t>(total, (std::uint64_t{badFirst} + badLength - 1) / sector + 1);
        for (std::uint64_t s = first; s < end; ++s)
            std::fill_n(zeroed.Bytes.begin() + static_cast<std::ptrdiff_t>(s * sector), sector,
                        '\0');
        const TOutcome c = Scan(faulty, bufferSize, rule);
        const TOutcome d = Scan(zeroed, bufferSize, rule);
        FUZZ_CHECK(c.Emails == d.Emails && c.Offsets == d.Offsets);
        // Sector 0 is never read, so never counted; the others of the stretch are, once.
        const std::uint64_t counted = first < end ? end - std::max<std::uint64_t>(first, 1) : 0;
        FUZZ_CHECK(c.Unreadable <= counted);
        FUZZ_CHECK(faulty.LowestOffsetRead >= sector);
    }
    FUZZ_CHECK(plain.LowestOffsetRead >= sector && sparse.LowestOffsetRead >= sector);
    return 0;
}
