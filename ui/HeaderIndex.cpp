#include "ui/HeaderIndex.h"

#include <algorithm>
#include <exception>

#include "mail/DecodedMessage.h"

unsigned WorkerThreads() {
    return std::max(1u, std::thread::hardware_concurrency());
}

void ForEachOnThreads(std::size_t Count, unsigned Threads,
                      const std::function<void(unsigned, std::size_t, std::size_t)>& Work) {
    if (Threads == 0) Threads = WorkerThreads();
    Threads = static_cast<unsigned>(std::clamp<std::size_t>(Count, 1, Threads));
    std::vector<std::exception_ptr> errors(Threads);
    auto part = [&](unsigned P) {
        try {
            Work(P, Count * P / Threads, Count * (P + 1) / Threads);
        } catch (...) {
            errors[P] = std::current_exception();
        }
    };
    std::vector<std::thread> others;
    others.reserve(Threads - 1);
    for (unsigned p = 1; p < Threads; ++p)
        others.emplace_back(part, p);
    part(0);
    for (std::thread& t : others)
        t.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

void THeaderIndex::Start(const TFoundEmails& Emails, unsigned Threads, std::function<void()> Gate) {
    Stop();
    FCount = Emails.size();
    FRunner = std::thread(
        [this, &Emails, Threads, Gate = std::move(Gate)] { Run(Emails, Threads, Gate); });
}

void THeaderIndex::Stop() {
    FStop = true;
    if (FRunner.joinable()) FRunner.join();
    FStop = false;
    FReady = false;
    FDone = 0;
    FCount = 0;
    // Fresh containers: the memory of a large list goes back rather than staying reserved.
    FArenas = std::vector<std::string>();
    FEnds = std::vector<std::size_t>();
    FRecords = std::vector<TRecord>();
}

void THeaderIndex::Run(const TFoundEmails& Emails, unsigned Threads,
                       const std::function<void()>& Gate) {
    if (Threads == 0) Threads = WorkerThreads();
    // Each thread fills its own share of the records in place and an arena of its own; the
    // arenas are kept as they are, never joined: a join would hold every field twice at once.
    std::vector<TRecord> records(Emails.size());
    std::vector<std::string> arenas(std::max(1u, Threads));
    std::vector<std::size_t> ends(arenas.size(), 0);
    ForEachOnThreads(
        Emails.size(), static_cast<unsigned>(arenas.size()),
        [&](unsigned P, std::size_t Begin, std::size_t End) {
            std::string& arena = arenas[P];
            ends[P] = End;
            for (std::size_t item = Begin; item < End && !FStop; ++item) {
                if (Gate) Gate();
                TRecord& record = records[item];
                record.At = arena.size();
                try {
                    const std::string stored = Emails.FullText(item);
                    const TDecodedMessage m = DecodeMessage(HeaderPart(stored));
                    const std::string* fields[4] = {&m.From, &m.To, &m.Subject, &m.DateText};
                    for (int f = 0; f < 4; ++f) {
                        arena += *fields[f];
                        record.Sizes[f] = static_cast<std::uint32_t>(
                            std::min<std::size_t>(fields[f]->size(), UINT32_MAX));
                    }
                    record.HasTime = m.Time.has_value();
                    record.Time = m.Time.value_or(0);
                } catch (...) {
                    // A message whose bytes cannot be read back has no fields to
                    // sort by; the list still sorts.
                    arena.resize(record.At);
                    record = TRecord{record.At, {}, 0, false};
                }
                FDone.fetch_add(1, std::memory_order_relaxed);
            }
            // What the arena grew by doubling goes back, one thread's share at a time.
            arena.shrink_to_fit();
        });
    if (FStop) return;
    // A thread that got no share (fewer messages than threads) ends where the one before did.
    for (std::size_t p = 1; p < ends.size(); ++p)
        ends[p] = std::max(ends[p], ends[p - 1]);
    {
        const std::lock_guard lock(FMutex);
        FArenas = std::move(arenas);
        FEnds = std::move(ends);
        FRecords = std::move(records);
        FReady.store(true, std::memory_order_release);
    }
    FReadyChanged.notify_all();
}

bool THeaderIndex::WaitReady(std::chrono::milliseconds Timeout) const {
    std::unique_lock lock(FMutex);
    return FReadyChanged.wait_for(lock, Timeout, [this] { return Ready(); });
}

THeaderFields THeaderIndex::Fields(std::size_t Item) const {
    const TRecord& r = FRecords[Item];
    const auto part = std::upper_bound(FEnds.begin(), FEnds.end(), Item) - FEnds.begin();
    const std::string_view arena = FArenas[static_cast<std::size_t>(part)];
    THeaderFields fields;
    std::size_t at = static_cast<std::size_t>(r.At);
    std::string_view* out[4] = {&fields.From, &fields.To, &fields.Subject, &fields.DateText};
    for (int f = 0; f < 4; ++f) {
        *out[f] = arena.substr(at, r.Sizes[f]);
        at += r.Sizes[f];
    }
    if (r.HasTime) fields.Time = r.Time;
    return fields;
}

std::size_t THeaderIndex::MemoryBytes() const {
    std::size_t bytes = FRecords.capacity() * sizeof(TRecord);
    for (const std::string& arena : FArenas)
        bytes += arena.capacity();
    return bytes;
}
