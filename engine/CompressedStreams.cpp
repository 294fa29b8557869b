#include "engine/CompressedStreams.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "engine/DeepRule.h"

namespace {

// Inflated bytes made per call on zlib, and compressed bytes asked of the input at once: small
// enough that a stream's window stays a few hundred KiB beside the run being carved.
constexpr std::size_t OutPiece = 256 * 1024;
constexpr std::size_t InPiece = 64 * 1024;
// The host hears from a stream's carving after this many inflated bytes.
constexpr std::uint64_t PaceBytes = 1u << 20;
// A zip's local header before its name.
constexpr std::size_t ZipHeaderBytes = 30;

unsigned Le16(std::string_view B, std::size_t At) {
    return static_cast<unsigned char>(B[At]) |
           static_cast<unsigned>(static_cast<unsigned char>(B[At + 1])) << 8;
}

std::uint32_t Le32(std::string_view B, std::size_t At) {
    return static_cast<std::uint32_t>(Le16(B, At)) | static_cast<std::uint32_t>(Le16(B, At + 2))
                                                         << 16;
}

bool OpensGzip(std::string_view B) {
    if (B.size() < 10) return false;
    const auto* b = reinterpret_cast<const unsigned char*>(B.data());
    // Deflate, no reserved flag, a known compression level and a known system (or 255, unknown).
    return b[0] == 0x1F && b[1] == 0x8B && b[2] == 8 && (b[3] & 0xE0) == 0 &&
           (b[8] == 0 || b[8] == 2 || b[8] == 4) && (b[9] <= 19 || b[9] == 255);
}

enum class TMethod { Gzip, Deflate, Stored };

// A zip entry's local header, as far as opening it goes.
struct TZipEntry {
    TMethod Method = TMethod::Stored;
    bool Described = false; // sizes follow the data (flag bit 3)
    std::uint32_t Compressed = 0;
    std::uint64_t DataOffset = 0; // from the header's start
};

bool ReadZipEntry(std::string_view B, TZipEntry& Entry) {
    if (B.size() < ZipHeaderBytes || std::memcmp(B.data(), "PK\x03\x04", 4) != 0) return false;
    const unsigned version = Le16(B, 4), flags = Le16(B, 6), method = Le16(B, 8);
    const unsigned nameLength = Le16(B, 26), extraLength = Le16(B, 28);
    // Not encrypted (bit 0, bit 6), stored or deflated, a name, a version zip writers use.
    if ((version & 0xFF) > 63 || (flags & 0x41) != 0 || (method != 0 && method != 8) ||
        nameLength == 0 || nameLength > 1024)
        return false;
    Entry.Method = method == 8 ? TMethod::Deflate : TMethod::Stored;
    Entry.Described = (flags & 0x08) != 0;
    Entry.Compressed = Le32(B, 18);
    Entry.DataOffset = ZipHeaderBytes + nameLength + extraLength;
    // A stored entry's end is known only from its size.
    if (Entry.Method == TMethod::Stored &&
        (Entry.Described || Entry.Compressed == 0xFFFFFFFFu || Le32(B, 22) != Entry.Compressed))
        return false;
    return true;
}

} // namespace

// One stream's inflated bytes, made as they are asked for and dropped once released: the window
// holds what lies between the carving's place and the furthest byte it asked for.
class TStreamOpener::TInflated final : public TStreamInput {
  public:
    TInflated(TStreamOpener& Opener, TStreamInput& In, std::uint64_t Start, TMethod Method,
              std::uint64_t StoredSize)
        : FOpener(&Opener), FIn(&In), FMethod(Method), FStart(Start), FInPos(Start),
          FStoredSize(StoredSize) {
        TStreamCounts& counts = Opener.FCounts;
        ++counts.Opened;
        const std::uint64_t left = Opener.FScanBudget > counts.InflatedBytes
                                       ? Opener.FScanBudget - counts.InflatedBytes
                                       : 0;
        FCap = std::min(StreamOutCap, left);
        // The streams inside this one count against it too, so that nesting multiplies nothing.
        if (Opener.FOuter == nullptr) {
            Opener.FOuter = this;
            Opener.FTreeOut = 0;
        }
        if (Method == TMethod::Stored) {
            FCap = std::min(FCap, StoredSize);
            FEnded = StoredSize == 0;
            return;
        }
        FZ.zalloc = Z_NULL;
        FZ.zfree = Z_NULL;
        FZ.opaque = Z_NULL;
        FZ.next_in = Z_NULL;
        FZ.avail_in = 0;
        // Raw deflate for a zip entry; a gzip member's header and trailer are zlib's to read.
        if (inflateInit2(&FZ, Method == TMethod::Gzip ? 16 + MAX_WBITS : -MAX_WBITS) != Z_OK) {
            FEnded = FBroken = true;
            return;
        }
        FZlib = true;
    }
    ~TInflated() override {
        if (FZlib) inflateEnd(&FZ);
        if (FOpener->FOuter == this) FOpener->FOuter = nullptr;
    }
    TInflated(const TInflated&) = delete;
    TInflated& operator=(const TInflated&) = delete;

    std::string_view Bytes(std::uint64_t Offset, std::size_t Count) override {
        while (FBase + FBuf.size() < Offset + Count && !FEnded)
            More();
        if (Offset < FBase || Offset >= FBase + FBuf.size()) return {};
        return std::string_view(FBuf).substr(static_cast<std::size_t>(Offset - FBase), Count);
    }
    void Release(std::uint64_t Before) override { FReleased = std::max(FReleased, Before); }

    // The input offset past the last compressed byte taken.
    std::uint64_t InEnd() const { return FInPos; }
    // Ran to its own end (a gzip member's trailer, a deflate stream's last block, a stored
    // entry's size), neither broken off nor stopped by a bound.
    bool Whole() const { return FEnded && !FBroken && !FBounded; }

  private:
    // How many more bytes the bounds allow, Made bytes into the piece being made: this stream's
    // (its ratio left out for stored bytes, which are their own size), and those of the
    // outermost stream for everything inflated inside it.
    std::uint64_t Allowed(std::uint64_t Made, bool Ratio) const {
        const std::uint64_t own = FOut + Made;
        const std::uint64_t ownCap = Ratio ? std::min(FCap, RatioCap * (FInPos - FStart)) : FCap;
        if (own >= ownCap) return 0;
        std::uint64_t left = ownCap - own;
        // Everything inflated under the outermost stream, against its compressed bytes unless it
        // is stored (its bytes are its own size).
        const TInflated& outer = *FOpener->FOuter;
        const std::uint64_t tree = FOpener->FTreeOut + Made;
        const std::uint64_t treeCap =
            outer.FMethod == TMethod::Stored
                ? StreamOutCap
                : std::min(StreamOutCap, RatioCap * (outer.FInPos - outer.FStart));
        if (tree >= treeCap) return 0;
        left = std::min(left, treeCap - tree);
        return left;
    }

    void More() {
        // Released bytes go once they are half the window, so each byte moves at most once more.
        if (FReleased > FBase) {
            const std::size_t drop =
                static_cast<std::size_t>(std::min<std::uint64_t>(FReleased - FBase, FBuf.size()));
            if (drop > 0 && drop >= FBuf.size() / 2) {
                FBuf.erase(0, drop);
                FBase += drop;
            }
        }
        if (FOut >= FCap) {
            Bound();
            return;
        }
        const std::size_t made = FMethod == TMethod::Stored ? Copy() : Inflate();
        FOut += made;
        FOpener->FTreeOut += made;
        FOpener->FCounts.InflatedBytes += made;
    }

    void Bound() {
        if (!FEnded) {
            FEnded = FBounded = true;
            ++FOpener->FCounts.Bounded;
        }
    }

    std::size_t Copy() {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(OutPiece, Allowed(0, false)));
        if (piece == 0) {
            Bound();
            return 0;
        }
        FIn->Release(FInPos);
        const std::string_view in = FIn->Bytes(FInPos, piece);
        FBuf.append(in);
        FInPos += in.size();
        if (in.size() < piece)
            FEnded = FBroken = true; // the input ended first
        else if (FOut + in.size() == FStoredSize)
            FEnded = true;
        return in.size();
    }

    std::size_t Inflate() {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(OutPiece, FCap - FOut));
        const std::size_t old = FBuf.size();
        FBuf.resize(old + piece);
        FZ.next_out = reinterpret_cast<Bytef*>(FBuf.data() + old);
        FZ.avail_out = static_cast<uInt>(piece);
        while (FZ.avail_out > 0 && !FEnded) {
            if (FZ.avail_in == 0) {
                FIn->Release(FInPos);
                const std::string_view in = FIn->Bytes(FInPos, InPiece);
                if (in.empty()) {
                    FEnded = FBroken = true; // cut short by the input's end
                    break;
                }
                FZ.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
                FZ.avail_in = static_cast<uInt>(in.size());
            }
            const std::uint64_t madeBefore = piece - FZ.avail_out;
            const uInt before = FZ.avail_in;
            const int rc = inflate(&FZ, Z_NO_FLUSH);
            FInPos += before - FZ.avail_in;
            if (rc == Z_STREAM_END) {
                FEnded = true;
            } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && FZ.avail_in == 0)) {
                // Damaged: what inflated before the damage stays.
                FEnded = FBroken = true;
            }
            // Never more than the bounds allow for the compressed bytes taken so far: what
            // inflated past them is dropped.
            const std::uint64_t made = piece - FZ.avail_out;
            const std::uint64_t allowed = madeBefore + Allowed(madeBefore, true);
            if (made > allowed) {
                FZ.avail_out += static_cast<uInt>(made - allowed);
                FEnded = false;
                Bound();
            }
        }
        const std::size_t made = piece - FZ.avail_out;
        FBuf.resize(old + made);
        return made;
    }

    TStreamOpener* FOpener;
    TStreamInput* FIn;
    TMethod FMethod;
    std::uint64_t FStart;
    std::uint64_t FInPos;
    std::uint64_t FStoredSize;
    std::uint64_t FCap = 0; // this stream's inflated bytes at most
    z_stream FZ{};
    bool FZlib = false;
    std::string FBuf; // inflated bytes [FBase, FBase + size)
    std::uint64_t FBase = 0;
    std::uint64_t FReleased = 0;
    std::uint64_t FOut = 0; // inflated bytes made in all
    bool FEnded = false;
    bool FBroken = false;
    bool FBounded = false;
};

TStreamOpener::TStreamOpener(TScanHost& Host, TKeep Keep, std::uint64_t ScanBudget)
    : FHost(&Host), FKeep(std::move(Keep)), FScanBudget(ScanBudget) {
    for (auto& rule : FRules)
        rule = std::make_unique<TDeepRule>(Host);
}

TStreamOpener::~TStreamOpener() = default;

bool TStreamOpener::OpensStream(std::string_view Bytes) {
    TZipEntry entry;
    return OpensGzip(Bytes) || ReadZipEntry(Bytes, entry);
}

std::uint64_t TStreamOpener::OpenOnDrive(TStreamInput& In, std::uint64_t Offset) {
    FSteps.clear();
    FOpened.clear();
    return Open(In, Offset, 1);
}

std::uint64_t TStreamOpener::Open(TStreamInput& In, std::uint64_t Offset, unsigned Depth) {
    std::uint64_t end = Offset;
    std::uint64_t at = Offset;
    // A gzip file of several members, a zip of several entries: each begins where the one before
    // ended, so they are followed one by one while each ends whole.
    while (!Stopping() && FCounts.InflatedBytes < FScanBudget) {
        const std::string_view head = In.Bytes(at, ZipHeaderBytes);
        TZipEntry entry;
        std::uint64_t next = 0;
        // The enclosing stream's step leads here.
        if (!FSteps.empty()) FSteps.back().At = at;
        if (OpensGzip(head)) {
            FSteps.push_back({TStreamKind::Gzip, at, 0, 0});
            TInflated stream(*this, In, at, TMethod::Gzip, 0);
            Carve(stream, Depth);
            end = stream.InEnd();
            FSteps.back().Length = end - at;
            if (Depth == 1) FOpened.push_back(FSteps.back());
            FSteps.pop_back();
            if (!stream.Whole()) break;
            next = end;
        } else if (ReadZipEntry(head, entry)) {
            const std::uint64_t data = at + entry.DataOffset;
            FSteps.push_back({TStreamKind::Zip, at, 0, 0});
            TInflated stream(*this, In, data, entry.Method, entry.Compressed);
            Carve(stream, Depth);
            end = std::max(data, stream.InEnd());
            if (!entry.Described && entry.Compressed != 0xFFFFFFFFu)
                end = std::max(end, data + entry.Compressed);
            FSteps.back().Length = end - at;
            if (Depth == 1) FOpened.push_back(FSteps.back());
            FSteps.pop_back();
            // The next entry follows the data where its size is known, or where the deflate
            // stream ended by itself, and the sizes after it where the flags say so.
            if (!entry.Described && entry.Compressed != 0xFFFFFFFFu) {
                next = data + entry.Compressed;
            } else if (stream.Whole()) {
                next = end;
                const std::string_view d = In.Bytes(next, 4);
                if (d.size() == 4 && std::memcmp(d.data(), "PK\x07\x08", 4) == 0) next += 4;
                next += 12;
            } else {
                break;
            }
            end = std::max(end, next);
        } else {
            break;
        }
        at = next;
    }
    return end;
}

void TStreamOpener::Carve(TInflated& Stream, unsigned Depth) {
    TDeepRule& rule = *FRules[Depth - 1];
    rule.Restart();
    std::string window, fetched;
    const TDriveFetch fetch = [&](std::uint64_t Offset, std::uint32_t Count) {
        const std::string_view got = Stream.Bytes(Offset, Count);
        if (got.size() == Count) return got;
        fetched.assign(got);
        fetched.resize(Count, '\0'); // zeros past the stream's end, as past a drive's
        return std::string_view(fetched);
    };
    constexpr std::size_t WindowBytes = std::size_t{TRule::WindowSectors} * StepBytes;
    std::uint64_t pos = 0;
    while (!Stopping()) {
        const std::string_view w = Stream.Bytes(pos, WindowBytes);
        if (w.empty()) break;
        Stream.Release(pos);
        Pace(StepBytes);
        const auto first = static_cast<unsigned char>(w[0]);
        if (Depth < DepthCap && (first == 0x1F || first == 'P') && OpensStream(w)) {
            const std::uint64_t end = Open(Stream, pos, Depth + 1);
            if (end > pos) {
                pos = (end + StepBytes - 1) / StepBytes * StepBytes;
                continue;
            }
        }
        if (!rule.MayStart(first)) {
            pos += StepBytes;
            continue;
        }
        window.assign(w);
        window.resize(WindowBytes, '\0');
        TRule* const carver = rule.StartsAt({pos, window}, StepBytes, fetch);
        if (carver == nullptr) {
            pos += StepBytes;
            continue;
        }
        const std::size_t run = carver->MeasureRun(
            rule.KnownText(), WindowBytes,
            [&](std::size_t At, std::size_t Count) { return Stream.Bytes(pos + At, Count); },
            [](std::size_t) {});
        if (run > 0) {
            carver->Carve({pos, Stream.Bytes(pos, run)}, FCuts);
            if (!FCuts.empty() && !FKeep(FCuts, carver->Kind(), FSteps)) FFull = true;
            FHost->KeepAlive(run);
        }
        pos += std::max<std::uint64_t>(1, (run + StepBytes - 1) / StepBytes) * StepBytes;
    }
}

void TStreamOpener::Pace(std::uint64_t Bytes) {
    FPaced += Bytes;
    if (FPaced < PaceBytes) return;
    FPaced = 0;
    FHost->KeepAlive(1);
    if (FHost->CancelRequested()) FCancelled = true;
}
