#include "engine/FoundEmails.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "disk/Error.h"
#include "disk/SystemLayer.h"
#include "engine/ClientFlags.h"
#include "engine/LargeBlocks.h"

namespace {

// Writes to the scratch file are gathered to this size, so that a disk of small messages costs
// one system call per MiB instead of one per message.
constexpr std::size_t PendingBytes = 1u << 20;
constexpr std::size_t FieldBlockBytes = LargeBlockBytes;

[[noreturn, gnu::noinline, gnu::cold]] void ThrowTooBig() {
    throw TPwError("a message of more than 4 GiB cannot be kept");
}

// Asked six times a message: the test stays inline, the throw out of the way.
std::uint32_t Size32(std::size_t Size) {
    if (Size > std::numeric_limits<std::uint32_t>::max()) ThrowTooBig();
    return static_cast<std::uint32_t>(Size);
}

} // namespace

// The bytes of the messages: the header fields in memory, the texts in memory or in the scratch
// file. Append-only, so that every place handed out stays right.
class TFoundEmails::TStore {
  public:
    TStore(std::size_t MemoryBytes, TSystemLayer* System)
        : FMemoryBytes(MemoryBytes), FSystem(System) {}
    ~TStore() {
        if (FFile != InvalidHandle) FSystem->Close(FFile);
    }
    TStore(const TStore&) = delete;
    TStore& operator=(const TStore&) = delete;

    // The header fields, in blocks that never move once made: a growing block would copy them
    // all again each time it grew, and need twice their memory while it did.
    std::vector<TLargeString> Fields;

    // Where the four fields now lie: a block and the offset in it.
    std::pair<std::uint32_t, std::uint32_t> AppendFields(const std::string_view (&Values)[4]) {
        std::size_t size = 0;
        for (const std::string_view v : Values)
            size += v.size();
        if (Fields.empty() || Fields.back().size() + size > Fields.back().capacity()) {
            Fields.emplace_back();
            Fields.back().reserve(std::max(FieldBlockBytes, size));
        }
        TLargeString& block = Fields.back();
        const auto at = static_cast<std::uint32_t>(block.size());
        for (const std::string_view v : Values)
            block.append(v);
        return {static_cast<std::uint32_t>(Fields.size() - 1), at};
    }
    // Takes back the fields just appended.
    void DropFields(std::pair<std::uint32_t, std::uint32_t> At) {
        Fields[At.first].resize(At.second);
    }

    // Lets go of the message bytes held (and of the fields too, AndFields), keeping the memory
    // for what comes next: for a list that holds its latest message's only, which never spills.
    void Forget(bool AndFields) {
        FMemory.clear();
        if (AndFields && !Fields.empty()) {
            Fields.resize(1);
            Fields.front().clear();
        }
    }

    // Where the bytes now lie. Throws TPwError, and keeps nothing of them, when they cannot be
    // kept; what was appended before stays whole either way.
    std::uint64_t Append(std::string_view Bytes) {
        // A folder that was full once is not tried again: the list is kept as it was then.
        if (!FFailure.empty()) throw TPwError(FFailure);
        if (FFile == InvalidHandle) {
            if (FSystem == nullptr || FMemory.size() + Bytes.size() <= FMemoryBytes) {
                const std::uint64_t at = FMemory.size();
                FMemory.append(Bytes);
                return at;
            }
            Spill();
        }
        const std::uint64_t at = FEnd;
        if (FPending.size() + Bytes.size() > PendingBytes) Flush();
        if (Bytes.size() > PendingBytes) {
            // Too big to gather: straight to the file, after everything gathered before it.
            Write(Bytes, FWritten);
            FWritten += Bytes.size();
        } else {
            FPending.append(Bytes);
        }
        FEnd += Bytes.size();
        return at;
    }

    void Read(std::uint64_t At, std::size_t Size, std::string& Out) const {
        Out.clear();
        if (Size == 0) return;
        if (FFile == InvalidHandle) {
            Out.assign(std::string_view(FMemory).substr(static_cast<std::size_t>(At), Size));
            return;
        }
        // Each piece appended lies wholly in the file or wholly in the gathered bytes.
        if (At >= FWritten) {
            const auto from = static_cast<std::size_t>(At - FWritten);
            Out.assign(std::string_view(FPending).substr(from, Size));
            return;
        }
        Out.resize(Size);
        std::size_t got = 0;
        while (got < Size) {
            const std::int64_t n = FSystem->ReadAt(FFile, Out.data() + got, Size - got, At + got);
            if (n <= 0)
                throw TPwError("the found messages could not be read back from the scratch file "
                               "in the temporary folder " +
                               FFolder);
            got += static_cast<std::size_t>(n);
        }
    }

    bool Spilled() const { return FFile != InvalidHandle; }

  private:
    // Moves the texts held in memory to a new scratch file.
    void Spill() {
        std::string error;
        const THandle file = FSystem->CreateScratchFile(FFolder, error);
        if (file == InvalidHandle)
            throw TPwError("the found messages are too many to hold in memory, and no scratch file "
                           "could be made for them in the temporary folder (" +
                           error + ")");
        FFile = file;
        FEnd = FWritten = 0;
        FPending.swap(FMemory);
        FEnd = FPending.size();
        try {
            Flush();
        } catch (...) {
            // Back to memory as before: nothing is lost, and the next message tries again.
            FPending.swap(FMemory);
            FSystem->Close(FFile);
            FFile = InvalidHandle;
            FEnd = 0;
            throw;
        }
        TLargeString().swap(FMemory);
        FPending.reserve(PendingBytes);
    }

    // Writes the gathered bytes. When that fails they stay gathered (and readable), so every
    // message added so far is still whole.
    void Flush() {
        if (FPending.empty()) return;
        Write(FPending, FWritten);
        FWritten += FPending.size();
        FPending.clear();
    }

    void Write(std::string_view Bytes, std::uint64_t At) {
        std::string error;
        if (!FSystem->WriteAt(FFile, Bytes.data(), Bytes.size(), At, error)) {
            FFailure = "the found messages could not be written to the scratch file in the "
                       "temporary folder " +
                       FFolder + " (" + error + ")";
            throw TPwError(FFailure);
        }
    }

    std::size_t FMemoryBytes;
    TSystemLayer* FSystem; // null: everything in memory
    TLargeString FMemory;
    THandle FFile = InvalidHandle;
    TLargeString FPending;      // gathered, not yet written; starts at FWritten in the file
    std::uint64_t FWritten = 0; // bytes in the file
    std::uint64_t FEnd = 0;     // bytes in the file and gathered
    std::string FFailure;       // why the last write failed
    std::string FFolder;        // where the scratch file is
};

TFoundEmails::TFoundEmails() : TFoundEmails(DefaultMemoryBytes, PlatformSystem()) {}

TFoundEmails::TFoundEmails(std::size_t MemoryBytes, TSystemLayer& System)
    : FStore(std::make_shared<TStore>(MemoryBytes, &System)) {}

TFoundEmails TFoundEmails::Keeping(TKeep What) {
    if (What == TKeep::Everything) return TFoundEmails();
    // In memory only: one message's bytes at a time are no reason for a scratch file.
    TFoundEmails list{TEmailArray{}};
    list.FKeep = What;
    return list;
}

TFoundEmails::TFoundEmails(const TEmailArray& Emails)
    : FStore(std::make_shared<TStore>(0, nullptr)) {
    FEntries.reserve(Emails.size());
    for (const TEmail& email : Emails)
        Add(email);
}

void TFoundEmails::Add(const TEmail& Email) {
    Add(Email.FullText, Email.Body, {Email.From, Email.To, Email.Subject, Email.Date});
}

// Views of the very same bytes need no comparing.
bool EndsText(std::string_view FullText, std::string_view Body) {
    if (Body.size() > FullText.size()) return false;
    const std::string_view end = FullText.substr(FullText.size() - Body.size());
    return end.data() == Body.data() || end == Body;
}

void TFoundEmails::Add(std::string_view FullText, std::string_view Body,
                       const TEmailHeaders& Headers, std::optional<bool> ClientDeleted) {
    if (FKeep != TKeep::Everything && !FEntries.empty()) {
        FStore->Forget(FKeep == TKeep::Latest);
        if (FKeep == TKeep::Latest) {
            FDropped += FEntries.size();
            FEntries.clear();
        }
    }
    TEntry entry;
    entry.TextSize = Size32(FullText.size());
    entry.BodySize = Size32(Body.size());
    const std::string_view fields[4] = {Headers.From, Headers.To, Headers.Subject, Headers.Date};
    for (int i = 0; i < 4; ++i)
        entry.FieldSizes[i] = Size32(fields[i].size());
    // The rules cut Body from the end of FullText; only a message made otherwise stores it apart.
    entry.BodyApart = !Body.empty() && !EndsText(FullText, Body);
    entry.ClientDeleted = ClientDeleted ? *ClientDeleted : IsClientDeleted(FullText, Body);
    entry.Text = FStore->Append(FullText);
    // A body stored apart must follow its text at once; a failure there leaves a text no entry
    // refers to, which costs bytes and loses nothing.
    if (entry.BodyApart) FStore->Append(Body);
    const auto at = FStore->AppendFields(fields);
    entry.FieldBlock = at.first;
    entry.FieldOffset = at.second;
    try {
        FEntries.push_back(entry);
    } catch (...) {
        FStore->DropFields(at);
        throw;
    }
}

const TFoundEmails::TEntry& TFoundEmails::Entry(std::size_t Item) const {
    if (Item < FDropped)
        throw std::out_of_range("item " + std::to_string(Item) +
                                " of the found list is no longer held");
    return FEntries.at(Item - FDropped);
}

const TFoundEmails::TEntry& TFoundEmails::BytesEntry(std::size_t Item) const {
    if (Item < size() && !HoldsBytes(Item))
        throw std::out_of_range("the bytes of item " + std::to_string(Item) +
                                " of the found list are no longer held");
    return Entry(Item);
}

TEmailHeaders TFoundEmails::Headers(std::size_t Item) const {
    const TEntry& e = Entry(Item);
    const std::string_view arena = FStore->Fields[e.FieldBlock];
    std::size_t at = e.FieldOffset;
    std::string_view f[4];
    for (int i = 0; i < 4; ++i) {
        f[i] = arena.substr(at, e.FieldSizes[i]);
        at += e.FieldSizes[i];
    }
    return {f[0], f[1], f[2], f[3]};
}

std::string TFoundEmails::FullText(std::size_t Item) const {
    const TEntry& e = BytesEntry(Item);
    std::string out;
    FStore->Read(e.Text, e.TextSize, out);
    return out;
}

std::string TFoundEmails::Body(std::size_t Item) const {
    const TEntry& e = BytesEntry(Item);
    std::string out;
    if (e.BodyApart)
        FStore->Read(e.Text + e.TextSize, e.BodySize, out);
    else
        FStore->Read(e.Text + e.TextSize - e.BodySize, e.BodySize, out);
    return out;
}

std::uint64_t TFoundEmails::FullTextSize(std::size_t Item) const {
    return Entry(Item).TextSize;
}

TEmail TFoundEmails::operator[](std::size_t Item) const {
    const TEmailHeaders h = Headers(Item);
    TEmail email;
    email.From.assign(h.From);
    email.To.assign(h.To);
    email.Subject.assign(h.Subject);
    email.Date.assign(h.Date);
    email.FullText = FullText(Item);
    email.Body = Body(Item);
    return email;
}

TEmailArray TFoundEmails::ToArray() const {
    TEmailArray out;
    out.reserve(size());
    for (std::size_t i = 0; i < size(); ++i)
        out.push_back((*this)[i]);
    return out;
}

bool TFoundEmails::Spilled() const {
    return FStore->Spilled();
}

namespace {

template <class TList> bool SameMessages(const TFoundEmails& A, const TList& B) {
    if (A.size() != B.size()) return false;
    for (std::size_t i = 0; i < A.size(); ++i)
        if (!(A[i] == B[i])) return false;
    return true;
}

} // namespace

bool operator==(const TFoundEmails& A, const TEmailArray& B) {
    return SameMessages(A, B);
}

bool operator==(const TFoundEmails& A, const TFoundEmails& B) {
    return SameMessages(A, B);
}
