#include "engine/ScanPieces.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "disk/Error.h"
#include "engine/ClientFlags.h"

namespace {

// Bytes a batch holds in the default allocator's memory before it takes a large block. Never in a
// 32-bit process: the pieces' batches, a large block each, would take hundreds of MiB of its few
// addresses.
constexpr std::size_t SmallBatchBytes =
    sizeof(void*) >= 8 ? std::size_t{64} << 10 : std::numeric_limits<std::size_t>::max();

constexpr char Magic[8] = {'P', 'W', 'P', 'A', 'R', 'T', '\r', '\n'};

class TWriter {
  public:
    std::string Out;
    void U64(std::uint64_t V) {
        for (int i = 0; i < 8; ++i)
            Out.push_back(static_cast<char>((V >> (8 * i)) & 0xFF));
    }
    void Bytes(std::string_view B) {
        U64(B.size());
        Out.append(B);
    }
};

class TReader {
  public:
    explicit TReader(std::string_view In) : FIn(In) {}
    std::uint64_t U64() {
        Need(8);
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= static_cast<std::uint64_t>(static_cast<unsigned char>(FIn[FAt + i])) << (8 * i);
        FAt += 8;
        return v;
    }
    // A count of things each at least Least bytes long: never more than the bytes left hold.
    std::uint64_t Count(std::uint64_t Least) {
        const std::uint64_t n = U64();
        if (Least > 0 && n > (FIn.size() - FAt) / Least) Short();
        return n;
    }
    std::string Bytes() {
        const std::uint64_t n = U64();
        Need(n);
        std::string b(FIn.substr(FAt, n));
        FAt += n;
        return b;
    }
    void Need(std::uint64_t N) const {
        if (N > FIn.size() - FAt) Short();
    }
    std::size_t Left() const { return FIn.size() - FAt; }
    [[noreturn]] static void Short() { throw TPwError("the part file is cut short or damaged"); }

  private:
    std::string_view FIn;
    std::size_t FAt = 0;
};

void WritePlace(TWriter& W, const TEmailPlace& P) {
    W.U64(P.Offset);
    W.U64(P.Rule == TCarvingRule::Deep ? 1 : 0);
    W.U64(P.Inside.size());
    for (const TStreamStep& s : P.Inside) {
        W.U64(s.Kind == TStreamKind::Zip ? 1 : 0);
        W.U64(s.Offset);
        W.U64(s.At);
        W.U64(s.Length);
    }
}

TEmailPlace ReadPlace(TReader& R) {
    TEmailPlace p;
    p.Offset = R.U64();
    p.Rule = R.U64() == 1 ? TCarvingRule::Deep : TCarvingRule::Standard;
    const std::uint64_t steps = R.Count(32);
    for (std::uint64_t i = 0; i < steps; ++i) {
        TStreamStep s;
        s.Kind = R.U64() == 1 ? TStreamKind::Zip : TStreamKind::Gzip;
        s.Offset = R.U64();
        s.At = R.U64();
        s.Length = R.U64();
        p.Inside.push_back(s);
    }
    return p;
}

} // namespace

void TPieceBatch::Add(std::string_view FullText, std::string_view Body,
                      const std::string_view (&Fields)[4], TEmailPlace Place, bool ClientDeleted) {
    // Only a batch that goes on growing: a drive with little mail hands over a batch of a message
    // or two every few thousand sectors, and a large page for each would cost more than it saves.
    if (Bytes.size() >= SmallBatchBytes && Bytes.capacity() < LargeBlockBytes)
        Bytes.reserve(LargeBlockBytes);
    TPieceMessage& m = Messages.emplace_back();
    m.Text = Bytes.size();
    m.TextSize = FullText.size();
    Bytes.append(FullText);
    m.BodySize = Body.size();
    if (EndsText(FullText, Body)) {
        m.Body = m.Text + m.TextSize - m.BodySize;
    } else {
        m.Body = Bytes.size();
        Bytes.append(Body);
    }
    // A field the rule cut from the header block is a view of the text: a mail-dense drive gives
    // a million messages a gigabyte, and four more copies of each cost as much as the text's.
    const auto text = reinterpret_cast<std::uintptr_t>(FullText.data());
    for (int i = 0; i < 4; ++i) {
        const std::string_view f = Fields[i];
        m.FieldSizes[i] = f.size();
        // Below the text the difference wraps around to more than its size.
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(f.data()) - text;
        if (at <= FullText.size() && f.size() <= FullText.size() - at) {
            m.FieldAt[i] = m.Text + at;
        } else {
            m.FieldAt[i] = Bytes.size();
            Bytes.append(f);
        }
    }
    m.Place = std::move(Place);
    m.ClientDeleted = ClientDeleted;
    ++Events.back().MessageCount;
}

std::uint64_t TPieceBatch::End(const TPieceMessage& M) {
    std::uint64_t end = std::max(M.Text + M.TextSize, M.Body + M.BodySize);
    for (int i = 0; i < 4; ++i)
        end = std::max(end, M.FieldAt[i] + M.FieldSizes[i]);
    return end;
}

std::pair<std::size_t, std::size_t> TPieceBatch::ByteRange(const TPieceEvent& E) const {
    if (E.MessageCount == 0) return {0, 0};
    return {Messages[E.FirstMessage].Text, End(Messages[E.FirstMessage + E.MessageCount - 1])};
}

std::string EncodePart(const TPartFile& Part) {
    TWriter w;
    w.Out.append(Magic, sizeof Magic);
    w.U64(TPartFile::Version);
    w.U64(Part.TargetBytes);
    w.U64(Part.SectorSize);
    w.U64(Part.Rule == TCarvingRule::Deep ? 1 : 0);
    const TPieceRecord& p = Part.Piece;
    w.U64(p.First);
    w.U64(p.End);
    w.U64(p.Final);
    w.U64(p.Complete ? 1 : 0);
    w.U64(p.Unreadable.size());
    for (const auto& [first, end] : p.Unreadable) {
        w.U64(first);
        w.U64(end);
    }
    // Each event with its own bytes, its messages' views counted from their start.
    const TPieceBatch& found = p.Found;
    w.U64(found.Events.size());
    for (const TPieceEvent& e : found.Events) {
        w.U64(e.Start);
        w.U64(e.Next);
        w.U64(e.Stream ? 1 : 0);
        w.U64(e.StreamsEnd);
        w.U64(e.BudgetUsed);
        w.U64(e.Counts.Opened);
        w.U64(e.Counts.InflatedBytes);
        w.U64(e.Counts.Bounded);
        w.U64(e.MessageCount);
        const auto [from, to] = found.ByteRange(e);
        for (std::size_t k = e.FirstMessage; k < e.FirstMessage + e.MessageCount; ++k) {
            const TPieceMessage& m = found.Messages[k];
            for (const std::uint64_t v : {m.Text - from, m.TextSize, m.Body - from, m.BodySize})
                w.U64(v);
            for (int i = 0; i < 4; ++i) {
                w.U64(m.FieldAt[i] - from);
                w.U64(m.FieldSizes[i]);
            }
            WritePlace(w, m.Place);
        }
        w.Bytes(std::string_view(found.Bytes).substr(from, to - from));
    }
    // The end is marked, so that a file cut at an event's boundary is known for what it is.
    w.Out.append(Magic, sizeof Magic);
    return std::move(w.Out);
}

TPartFile DecodePart(std::string_view Bytes) {
    if (Bytes.size() < sizeof Magic || std::memcmp(Bytes.data(), Magic, sizeof Magic) != 0)
        throw TPwError("not a part file");
    TReader r(Bytes.substr(sizeof Magic));
    TPartFile part;
    const std::uint64_t version = r.U64();
    if (version != TPartFile::Version)
        throw TPwError("a part file of format version " + std::to_string(version) +
                       ", not version " + std::to_string(TPartFile::Version));
    part.TargetBytes = r.U64();
    part.SectorSize = static_cast<std::uint32_t>(r.U64());
    part.Rule = r.U64() == 1 ? TCarvingRule::Deep : TCarvingRule::Standard;
    TPieceRecord& p = part.Piece;
    p.First = r.U64();
    p.End = r.U64();
    p.Final = r.U64();
    p.Complete = r.U64() == 1;
    if (p.End <= p.First || p.Final < p.End || part.SectorSize == 0) TReader::Short();
    const std::uint64_t ranges = r.Count(16);
    for (std::uint64_t i = 0; i < ranges; ++i) {
        const std::uint64_t first = r.U64();
        p.Unreadable.emplace_back(first, r.U64());
    }
    const std::uint64_t events = r.Count(80);
    TPieceBatch& found = p.Found;
    for (std::uint64_t i = 0; i < events; ++i) {
        TPieceEvent& e = found.Events.emplace_back();
        e.Start = r.U64();
        e.Next = r.U64();
        e.Stream = r.U64() == 1;
        e.StreamsEnd = r.U64();
        e.BudgetUsed = r.U64();
        e.Counts.Opened = r.U64();
        e.Counts.InflatedBytes = r.U64();
        e.Counts.Bounded = r.U64();
        e.FirstMessage = found.Messages.size();
        e.MessageCount = r.Count(120);
        for (std::uint64_t k = 0; k < e.MessageCount; ++k) {
            TPieceMessage& m = found.Messages.emplace_back();
            m.Text = r.U64();
            m.TextSize = r.U64();
            m.Body = r.U64();
            m.BodySize = r.U64();
            for (int f = 0; f < 4; ++f) {
                m.FieldAt[f] = r.U64();
                m.FieldSizes[f] = r.U64();
            }
            m.Place = ReadPlace(r);
        }
        const std::string bytes = r.Bytes();
        // Events lie in the piece, in drive order, each moving the scan on.
        if (e.Start < p.First || e.Start >= p.End || e.Next <= e.Start ||
            (i > 0 && e.Start < found.Events[i - 1].Next && !found.Events[i - 1].Stream))
            TReader::Short();
        // Every view a message makes must lie inside the bytes it came with; they join the
        // batch's after those of the events before.
        const std::uint64_t base = found.Bytes.size();
        for (std::size_t k = e.FirstMessage; k < found.Messages.size(); ++k) {
            TPieceMessage& m = found.Messages[k];
            const std::uint64_t n = bytes.size();
            const auto inside = [n](std::uint64_t At, std::uint64_t Size) {
                return At <= n && Size <= n - At;
            };
            bool fit = inside(m.Text, m.TextSize) && inside(m.Body, m.BodySize);
            for (int f = 0; f < 4; ++f)
                fit = fit && inside(m.FieldAt[f], m.FieldSizes[f]);
            if (!fit) TReader::Short();
            m.ClientDeleted = IsClientDeleted(std::string_view(bytes).substr(m.Text, m.TextSize));
            m.Text += base;
            m.Body += base;
            for (std::uint64_t& at : m.FieldAt)
                at += base;
        }
        found.Bytes.append(bytes);
    }
    if (r.Left() != sizeof Magic ||
        std::memcmp(Bytes.data() + Bytes.size() - sizeof Magic, Magic, sizeof Magic) != 0)
        TReader::Short();
    return part;
}
