// A scan split into pieces, carved by several threads or range by range and merged, gives what the
// scan of the whole drive gives, field by field: over random images of mail (mbox runs longer
// than a piece, messages on sector starts, multipart bodies, gzip'd mailboxes for the deep rule),
// with unreadable stretches, for both rules, every piece size down to one sector.

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "disk/DiskBuffer.h"
#include "disk/Error.h"
#include "disk/DriveReader.h"
#include "engine/ScanHardDisk.h"
#include "engine/ScanPieces.h"
#include "tests/engine/deep/DeepCorpus.h"
#include "tests/engine/deep/UnixMail.h"
#include "tests/support/ImageBuilder.h"

namespace {

// One drive, shared by the readers of every thread; reads touching a bad byte fail.
struct TSharedDrive {
    std::string Bytes;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> Bad; // [first, end)
};

class TSharedReader final : public TDriveReader {
  public:
    explicit TSharedReader(std::shared_ptr<const TSharedDrive> Drive) : FDrive(std::move(Drive)) {}
    std::int64_t ReadAt(void* Target, std::uint64_t Count, std::uint64_t Offset) override {
        for (const auto& [first, end] : FDrive->Bad)
            if (Offset < end && first < Offset + Count) return -1;
        if (Offset >= FDrive->Bytes.size()) return 0;
        const std::uint64_t n = std::min<std::uint64_t>(Count, FDrive->Bytes.size() - Offset);
        std::memcpy(Target, FDrive->Bytes.data() + Offset, n);
        return static_cast<std::int64_t>(n);
    }
    std::uint64_t Size() const override { return FDrive->Bytes.size(); }
    std::uint32_t SectorSize() const override { return 512; }

  private:
    std::shared_ptr<const TSharedDrive> FDrive;
};

std::string Gzip(const std::string& Bytes) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, Bytes.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Bytes.data()));
    z.avail_in = static_cast<uInt>(Bytes.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string Multipart(unsigned Seed) {
    const std::string b = "=_b" + std::to_string(Seed);
    std::string m = "From: x" + std::to_string(Seed) +
                    "@example.org\r\nTo: y@example.org\r\n"
                    "Subject: parts " +
                    std::to_string(Seed) +
                    "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + b +
                    "\"\r\n\r\n";
    for (unsigned p = 0; p < 2 + Seed % 3; ++p) {
        m += "--" + b + "\r\nContent-Type: text/plain\r\n\r\n";
        for (unsigned l = 0; l < 20 + (Seed + p) % 50; ++l)
            m += "part " + std::to_string(p) + " line " + std::to_string(l) + " of the body\r\n";
    }
    return m + "--" + b + "--\r\n";
}

// A random drive of mail and noise: whatever a piece's first sector may land in.
std::shared_ptr<TSharedDrive> RandomDrive(unsigned Seed, bool Streams) {
    std::mt19937 rng(Seed);
    auto drive = std::make_shared<TSharedDrive>();
    std::string& d = drive->Bytes;
    d.assign(512, '\0');
    const auto align = [&] { d.resize((d.size() + 511) / 512 * 512, '\0'); };
    const std::size_t blocks = 6 + rng() % 10;
    for (std::size_t i = 0; i < blocks; ++i) {
        switch (rng() % 7) {
        case 0: { // an mbox: one run over many sectors, messages starting inside sectors
            std::vector<std::string> msgs;
            for (unsigned k = 0; k < 3 + rng() % 12; ++k)
                msgs.push_back(MakeUnixMessage(rng(), static_cast<int>(rng() % UnixKinds)));
            align();
            d += MboxFile(msgs, rng());
            break;
        }
        case 1: // messages back to back on sector starts, some deleted in the mail program
            for (unsigned k = 0; k < 2 + rng() % 5; ++k) {
                align();
                std::string m = MakeDeepMessage(rng(), static_cast<int>(rng() % DeepMessageKinds));
                const std::size_t line = m.find("\r\n");
                if (rng() % 3 == 0 && line != std::string::npos)
                    m.insert(line + 2, rng() % 2 ? "X-Mozilla-Status: 0009\r\n" : "Status: RD\r\n");
                d += m;
            }
            break;
        case 2:
            align();
            d += Multipart(rng());
            break;
        case 3: { // noise
            const std::size_t n = 200 + rng() % 3000;
            for (std::size_t k = 0; k < n; ++k)
                d += static_cast<char>(rng());
            break;
        }
        case 4: // zeros
            d.append(512 * (1 + rng() % 8), '\0');
            break;
        case 5: { // a gzip'd mailbox, and the same mailbox as it was before
            std::vector<std::string> msgs;
            for (unsigned k = 0; k < 2 + rng() % 6; ++k)
                msgs.push_back(MakeUnixMessage(rng(), static_cast<int>(rng() % UnixKinds)));
            const std::string mbox = MboxFile(msgs, rng());
            align();
            if (Streams) d += Gzip(mbox);
            align();
            if (rng() % 2) d += mbox.substr(0, mbox.size() / 2);
            break;
        }
        default: { // a long text run whose lines look like headers now and then
            align();
            for (unsigned l = 0; l < 100 + rng() % 400; ++l)
                d +=
                    (rng() % 9 == 0 ? "Subject: line " : "text line ") + std::to_string(l) + "\r\n";
            break;
        }
        }
    }
    d.append(rng() % 1500, 'z');
    align();
    const std::uint64_t sectors = d.size() / 512;
    for (unsigned k = 0; k < rng() % 4; ++k) {
        const std::uint64_t first = 1 + rng() % (sectors - 1);
        drive->Bad.emplace_back(first * 512, (first + 1 + rng() % 6) * 512);
    }
    return drive;
}

TBufferMaker MakerOf(const std::shared_ptr<TSharedDrive>& Drive) {
    return [Drive] {
        return std::make_unique<TDiskBuffer>(std::make_unique<TSharedReader>(Drive),
                                             TScanHardDisk::BufferSize);
    };
}

void ExpectSame(const TScanResult& Whole, const TScanResult& Split, const std::string& What) {
    SCOPED_TRACE(What);
    ASSERT_EQ(Split.Places.size(), Whole.Places.size());
    ASSERT_EQ(Split.Emails.size(), Whole.Emails.size());
    for (std::size_t i = 0; i < Whole.Places.size(); ++i) {
        EXPECT_EQ(Split.Places[i].Offset, Whole.Places[i].Offset) << "item " << i;
        EXPECT_EQ(Split.Places[i].Rule, Whole.Places[i].Rule) << "item " << i;
        EXPECT_EQ(Split.Places[i].Inside, Whole.Places[i].Inside) << "item " << i;
        EXPECT_EQ(Split.Emails[i], Whole.Emails[i]) << "item " << i;
        EXPECT_EQ(Split.Emails.ClientDeleted(i), Whole.Emails.ClientDeleted(i)) << "item " << i;
    }
    EXPECT_EQ(Split.UnreadableSectors, Whole.UnreadableSectors);
    ASSERT_EQ(Split.Unreadable.size(), Whole.Unreadable.size());
    for (std::size_t i = 0; i < Whole.Unreadable.size(); ++i) {
        EXPECT_EQ(Split.Unreadable[i].First, Whole.Unreadable[i].First);
        EXPECT_EQ(Split.Unreadable[i].Count, Whole.Unreadable[i].Count);
    }
    EXPECT_EQ(Split.Streams.Opened, Whole.Streams.Opened);
    EXPECT_EQ(Split.Streams.InflatedBytes, Whole.Streams.InflatedBytes);
    EXPECT_EQ(Split.Streams.Bounded, Whole.Streams.Bounded);
    EXPECT_EQ(Split.Cancelled, Whole.Cancelled);
    EXPECT_EQ(Split.StopReason, Whole.StopReason);
}

// Ranges of random lengths cut at random sectors, each scanned alone (every other one written to
// a part file and read back, as a merge on another machine gets it), then merged.
TScanResult ScanInRanges(const TBufferMaker& Make, const TScanOptions& Options, std::mt19937& Rng) {
    const std::uint64_t N = static_cast<std::uint64_t>(Make()->TotalSectors());
    std::vector<TPieceRecord> parts;
    std::uint64_t at = 1;
    while (at < N) {
        const std::uint64_t end = std::min(N, at + 1 + Rng() % 40);
        TPartFile part;
        part.TargetBytes = N * 512;
        part.SectorSize = 512;
        part.Rule = Options.Rule;
        part.Piece = TScanHardDisk(Make(), Options, NullScanHost()).ScanRange(at, end);
        EXPECT_TRUE(part.Piece.Complete);
        if (parts.size() % 2 == 0) {
            parts.push_back(std::move(part.Piece));
        } else {
            // Read back, a part is written again as it was: its views rest on the same bytes.
            const std::string bytes = EncodePart(part);
            TPartFile read = DecodePart(bytes);
            EXPECT_EQ(EncodePart(read), bytes);
            parts.push_back(std::move(read.Piece));
        }
        at = end;
    }
    return TScanHardDisk(Make(), Options, NullScanHost()).Merge(std::move(parts));
}

} // namespace

TEST(SplitScan, PiecesMergedGiveTheWholeScanFieldByField) {
    std::size_t compared = 0, messages = 0, unreadable = 0, streams = 0, deleted = 0;
    for (unsigned seed = 1; seed <= 24; ++seed) {
        const TCarvingRule rule = seed % 2 ? TCarvingRule::Deep : TCarvingRule::Standard;
        const auto drive = RandomDrive(seed, rule == TCarvingRule::Deep);
        const TBufferMaker make = MakerOf(drive);
        TScanOptions options;
        options.Rule = rule;
        const TScanResult whole = TScanHardDisk(make, options, NullScanHost()).ScanDrive();
        messages += whole.Emails.size();
        for (std::size_t i = 0; i < whole.Emails.size(); ++i)
            deleted += whole.Emails.ClientDeleted(i);
        unreadable += whole.UnreadableSectors;
        streams += whole.Streams.Opened;
        std::mt19937 rng(seed * 7919);
        const unsigned jobs[] = {1, 2, 3, 8};
        for (const unsigned j : jobs) {
            TScanOptions split = options;
            split.Jobs = j;
            // One sector, a few, and more than the longest run.
            const std::uint64_t sizes[] = {1, 1 + rng() % 16, 16 + rng() % 200};
            for (const std::uint64_t sectors : sizes) {
                split.PieceBytes = sectors * 512;
                ExpectSame(whole, TScanHardDisk(make, split, NullScanHost()).ScanDrive(),
                           "seed " + std::to_string(seed) + " jobs " + std::to_string(j) +
                               " piece " + std::to_string(sectors));
                ++compared;
            }
        }
        ExpectSame(whole, ScanInRanges(make, options, rng), "ranges, seed " + std::to_string(seed));
    }
    // The images hold what the comparison is about.
    EXPECT_GT(messages, 200u);
    EXPECT_GT(unreadable, 10u);
    EXPECT_GT(streams, 5u);
    EXPECT_GT(deleted, 5u);
    EXPECT_EQ(compared, 24u * 12u);
}

// The scan's inflate budget is spent in drive order: a split scan whose pieces could have spent
// it differently carves from there on in order, and so ends with the whole scan's streams.
TEST(SplitScan, TheInflateBudgetIsSpentAsOneScanSpendsIt) {
    unsigned bounded = 0;
    for (unsigned seed = 101; seed <= 106; ++seed) {
        const auto drive = RandomDrive(seed, true);
        const TBufferMaker make = MakerOf(drive);
        TScanOptions options;
        options.Rule = TCarvingRule::Deep;
        const TScanResult unbounded = TScanHardDisk(make, options, NullScanHost()).ScanDrive();
        if (unbounded.Streams.InflatedBytes < 4096) continue;
        // A budget that runs out part way through the streams.
        options.InflateBudget = unbounded.Streams.InflatedBytes / 2;
        const TScanResult whole = TScanHardDisk(make, options, NullScanHost()).ScanDrive();
        EXPECT_LT(whole.Streams.InflatedBytes, unbounded.Streams.InflatedBytes);
        ++bounded;
        for (const unsigned j : {2u, 3u}) {
            TScanOptions split = options;
            split.Jobs = j;
            split.PieceBytes = 512 * (1 + seed % 5);
            ExpectSame(whole, TScanHardDisk(make, split, NullScanHost()).ScanDrive(),
                       "budget, seed " + std::to_string(seed));
        }
        std::mt19937 rng(seed);
        ExpectSame(whole, ScanInRanges(make, options, rng),
                   "budget ranges " + std::to_string(seed));
    }
    EXPECT_GE(bounded, 3u);
}

namespace {

// Records where each call came from and what it said.
class TThreadHost final : public TScanHost {
  public:
    std::thread::id Caller = std::this_thread::get_id();
    bool OtherThread = false;
    std::vector<std::uint64_t> Positions, Bytes;
    std::vector<std::uint64_t> KeptOffsets;
    std::size_t Found = 0;
    std::size_t CancelAfter = 0; // cancel once this many messages were kept (0: never)

    void Check() {
        if (std::this_thread::get_id() != Caller) OtherThread = true;
    }
    void KeepAlive(std::uint64_t) override { Check(); }
    void ProgressPosition(std::uint64_t p) override {
        Check();
        Positions.push_back(p);
    }
    void ProgressBytes(std::uint64_t b) override {
        Check();
        Bytes.push_back(b);
    }
    bool CancelRequested() override {
        Check();
        return CancelAfter != 0 && KeptOffsets.size() >= CancelAfter;
    }
    void MessageFound() override {
        Check();
        ++Found;
    }
    void MessageKept(const TScanResult& SoFar) override {
        Check();
        KeptOffsets.push_back(SoFar.Places.back().Offset);
    }
};

} // namespace

TEST(SplitScan, HostHearsEverythingOnTheCallingThreadInFoundOrderAndCanStopIt) {
    // A drive with some mail on it.
    std::shared_ptr<TSharedDrive> drive;
    TScanOptions options;
    options.Rule = TCarvingRule::Deep;
    TScanResult whole;
    for (unsigned seed = 200; whole.Places.size() <= 40; ++seed) {
        drive = RandomDrive(seed, true);
        drive->Bytes.append(std::size_t{4} << 20, '\0'); // long enough for the display to move
        whole = TScanHardDisk(MakerOf(drive), options, NullScanHost()).ScanDrive();
    }
    const TBufferMaker make = MakerOf(drive);
    options.Jobs = 3;
    options.PieceBytes = 2048;
    TThreadHost host;
    const TScanResult split = TScanHardDisk(make, options, host).ScanDrive();
    EXPECT_FALSE(host.OtherThread);
    EXPECT_EQ(host.Found, whole.Places.size());
    std::vector<std::uint64_t> offsets;
    for (const TEmailPlace& p : whole.Places)
        offsets.push_back(p.Offset);
    EXPECT_EQ(host.KeptOffsets, offsets);
    EXPECT_TRUE(std::is_sorted(host.Positions.begin(), host.Positions.end()));
    EXPECT_TRUE(std::is_sorted(host.Bytes.begin(), host.Bytes.end()));
    EXPECT_FALSE(host.Positions.empty());

    // Cancelled after ten messages: no more is kept, and the scan says so.
    TThreadHost stopping;
    stopping.CancelAfter = 10;
    const TScanResult cancelled = TScanHardDisk(make, options, stopping).ScanDrive();
    EXPECT_TRUE(cancelled.Cancelled);
    EXPECT_LT(cancelled.Places.size(), whole.Places.size());
    EXPECT_FALSE(stopping.OtherThread);
    for (std::size_t i = 0; i < cancelled.Places.size(); ++i)
        EXPECT_EQ(cancelled.Places[i].Offset, whole.Places[i].Offset);
}

namespace {

// What the host is handed for each message, as it is handed over.
class TKeptHost final : public TScanHost {
  public:
    std::vector<std::string> Kept;
    void MessageKept(const TScanResult& SoFar) override {
        const std::size_t item = SoFar.Emails.size() - 1;
        const TEmailPlace& place = SoFar.Place(item);
        std::string seen = std::to_string(item) + " " + std::to_string(place.Offset) + " " +
                           std::to_string(static_cast<int>(place.Rule)) + " " +
                           std::to_string(SoFar.Emails.ClientDeleted(item));
        for (const TStreamStep& step : place.Inside)
            seen += " <" + std::to_string(step.Offset) + "," + std::to_string(step.At) + ">";
        const TEmail email = SoFar.Emails[item];
        Kept.push_back(seen + "\n" + email.From + "\n" + email.To + "\n" + email.Subject + "\n" +
                       email.Date + "\n" + email.Body + "\n" + email.FullText);
    }
};

} // namespace

TEST(SplitScan, AScanKeepingLessHandsTheHostWhatAWholeOneDoes) {
    std::size_t kept = 0, inside = 0;
    for (unsigned seed = 300; seed < 306; ++seed) {
        const TCarvingRule rule = seed % 2 ? TCarvingRule::Deep : TCarvingRule::Standard;
        const TBufferMaker make = MakerOf(RandomDrive(seed, rule == TCarvingRule::Deep));
        for (const unsigned jobs : {1u, 2u}) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " jobs " + std::to_string(jobs));
            TScanOptions options;
            options.Rule = rule;
            options.Jobs = jobs;
            options.PieceBytes = 512 * (1 + seed % 7);
            TKeptHost holding, latest;
            const TScanResult whole = TScanHardDisk(make, options, holding).ScanDrive();
            options.Keep = TFoundEmails::TKeep::Latest;
            const TScanResult flat = TScanHardDisk(make, options, latest).ScanDrive();
            options.Keep = TFoundEmails::TKeep::LatestBytes;
            TKeptHost fields;
            const TScanResult records = TScanHardDisk(make, options, fields).ScanDrive();
            EXPECT_EQ(latest.Kept, holding.Kept);
            EXPECT_EQ(fields.Kept, holding.Kept);
            ASSERT_EQ(flat.Emails.size(), whole.Emails.size());
            ASSERT_EQ(records.Emails.size(), whole.Emails.size());
            if (whole.Emails.size() < 2) continue;
            // Keeping the latest bytes: every record, place and field stays.
            ASSERT_EQ(records.Places.size(), whole.Places.size());
            for (std::size_t i = 0; i < whole.Emails.size(); ++i) {
                EXPECT_EQ(records.Places[i].Offset, whole.Places[i].Offset);
                EXPECT_EQ(records.Emails.Headers(i).Subject, whole.Emails.Headers(i).Subject);
                EXPECT_EQ(records.Emails.FullTextSize(i), whole.Emails.FullTextSize(i));
                EXPECT_EQ(records.Emails.ClientDeleted(i), whole.Emails.ClientDeleted(i));
            }
            EXPECT_THROW(records.Emails.Body(0), std::out_of_range);
            // The last message is held, with its stream's length learned after it was handed
            // over; the ones before are counted only.
            const std::size_t last = whole.Emails.size() - 1;
            EXPECT_EQ(flat.Place(last).Inside, whole.Places[last].Inside);
            EXPECT_EQ(flat.Emails[last], whole.Emails[last]);
            EXPECT_EQ(records.Emails[last], whole.Emails[last]);
            EXPECT_FALSE(flat.Emails.HoldsBytes(last - 1));
            EXPECT_THROW(flat.Emails.FullText(0), std::out_of_range);
            EXPECT_THROW(flat.Place(0), std::out_of_range);
            EXPECT_EQ(flat.Places.size(), 1u);
            EXPECT_FALSE(flat.Emails.Spilled());
            kept += holding.Kept.size();
            for (const TEmailPlace& p : whole.Places)
                inside += !p.Inside.empty();
        }
    }
    EXPECT_GT(kept, 50u);
    EXPECT_GT(inside, 2u);
}

// A piece's batch takes a large block once it outgrows its first kilobytes, grows past that block
// for a message larger than it, and is handed back to be filled again by later pieces: over a few
// MiB of mail packed sector by sector, one message of them larger than a batch's block, a split
// scan gives the whole scan's messages, for both rules.
TEST(SplitScan, BatchesThatOutgrowTheirBlocksAndComeBackLoseNothing) {
    std::mt19937 rng(4242);
    auto drive = std::make_shared<TSharedDrive>();
    std::string& d = drive->Bytes;
    d.assign(512, '\0');
    bool large = false;
    while (d.size() < (11u << 20)) {
        d.resize((d.size() + 511) / 512 * 512, '\0');
        if (!large && d.size() > (2u << 20)) {
            large = true;
            d += "From: large@example.com\r\nTo: you@example.com\r\nSubject: large\r\n"
                 "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nMessage-ID: <large@example.com>\r\n\r\n";
            for (unsigned k = 0; k < 100000; ++k)
                d += "A line of the large message's body, number " + std::to_string(k) + "\r\n";
            continue;
        }
        if (rng() % 2) {
            d += MakeDeepMessage(rng(), static_cast<int>(rng() % DeepMessageKinds));
            continue;
        }
        const std::string n = std::to_string(d.size());
        d += "From: a" + n + "@example.com\r\nTo: b@example.com\r\nSubject: number " + n +
             "\r\nDate: Tue, 2 Jan 2024 11:00:00 +0000\r\nMessage-ID: <" + n +
             "@example.com>\r\n\r\n";
        for (unsigned k = 0; k < 20 + rng() % 80; ++k)
            d += "Some words of the body of message " + n + "\r\n";
    }
    d.resize((d.size() + 511) / 512 * 512, '\0');
    const TBufferMaker make = MakerOf(drive);
    for (const TCarvingRule rule : {TCarvingRule::Standard, TCarvingRule::Deep}) {
        TScanOptions options;
        options.Rule = rule;
        const TScanResult whole = TScanHardDisk(make, options, NullScanHost()).ScanDrive();
        // The drive holds what the comparison is about: the large message, and enough besides
        // for many batches.
        std::uint64_t largest = 0, bytes = 0;
        for (std::size_t i = 0; i < whole.Emails.size(); ++i) {
            largest = std::max(largest, whole.Emails.FullTextSize(i));
            bytes += whole.Emails.FullTextSize(i);
        }
        EXPECT_GT(largest, 4u << 20);
        EXPECT_GT(bytes - largest, 1u << 20);
        for (const std::uint64_t pieceBytes : {std::uint64_t{256} << 10, std::uint64_t{3} << 20}) {
            TScanOptions split = options;
            split.Jobs = 2;
            split.PieceBytes = pieceBytes;
            ExpectSame(whole, TScanHardDisk(make, split, NullScanHost()).ScanDrive(),
                       std::string(rule == TCarvingRule::Deep ? "deep" : "standard") +
                           ", pieces of " + std::to_string(pieceBytes) + " bytes");
        }
    }
}

TEST(SplitScan, APartFileKeepsFieldsInsideAndOutsideTheTextAndRefusesOnesPastItsBytes) {
    // Fields the rules cut are views of the text; one made elsewhere is held after it.
    const std::string text = "From: a@x.org\r\nSubject: hi\r\n\r\nbody\r\n";
    const std::string body = "apart\r\n";
    const std::string decoded = "Decoded subject";
    TPartFile part;
    part.TargetBytes = 4096;
    part.SectorSize = 512;
    part.Piece.First = 1;
    part.Piece.End = 8;
    part.Piece.Final = 8;
    part.Piece.Complete = true;
    TPieceBatch& found = part.Piece.Found;
    for (std::uint64_t start : {2u, 5u}) {
        const std::string_view t(text);
        const std::string_view fields[4] = {t.substr(6, 7), "", decoded, t.substr(0, 4)};
        found.NewEvent(start).Next = start + 1;
        found.Add(t, body, fields, TEmailPlace{start * 512, TCarvingRule::Standard, {}}, false);
    }
    const TPartFile read = DecodePart(EncodePart(part));
    const TPieceBatch& back = read.Piece.Found;
    ASSERT_EQ(back.Messages.size(), 2u);
    for (const TPieceMessage& m : back.Messages) {
        EXPECT_EQ(back.Text(m), text);
        EXPECT_EQ(back.Body(m), body);
        EXPECT_EQ(back.Field(m, 0), "a@x.org");
        EXPECT_EQ(back.Field(m, 1), "");
        EXPECT_EQ(back.Field(m, 2), decoded);
        EXPECT_EQ(back.Field(m, 3), "From");
    }
    EXPECT_EQ(back.Messages[1].Place.Offset, 5u * 512);
    // A field reaching past its event's bytes: the file is refused, not read out of bounds.
    found.Messages.pop_back();
    found.Events.pop_back();
    found.Bytes.resize(TPieceBatch::End(found.Messages[0]));
    found.Messages[0].FieldSizes[2] += found.Bytes.size();
    EXPECT_THROW(DecodePart(EncodePart(part)), TPwError);
}
