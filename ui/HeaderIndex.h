#pragma once

// The decoded header fields of every message of a found list (From, To, Subject, the date as a
// time and as written), decoded once after the scan on threads of their own, so that a sort by
// any column reads ready keys instead of decoding a quarter of a million headers on the window's
// thread. Kept flat: arenas of UTF-8 text (one per thread that built them) and a small fixed record
// per message, a few dozen bytes each, where a map of decoded messages would cost several times
// that.
//
// Also the window core's way of running work over every message on all cores (ForEachOnThreads).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/FoundEmails.h"
#include "engine/HeaderNames.h"

// The header fields the results list shows, decoded (UTF-8); views valid as long as what holds
// them.
struct THeaderFields {
    std::string_view From, To, Subject;
    std::string_view DateText;        // the Date header as written
    std::optional<std::int64_t> Time; // none when the date does not parse
};

// Runs Work(Part, Begin, End) on Threads threads (0: one per core), each over its own contiguous
// share of [0, Count), and waits for all of them. Work checks Stop itself.
void ForEachOnThreads(
    std::size_t Count, unsigned Threads,
    const std::function<void(unsigned Part, std::size_t Begin, std::size_t End)>& Work);

// The number of threads that work over every message: one per core.
unsigned WorkerThreads();

class THeaderIndex {
  public:
    THeaderIndex() = default;
    THeaderIndex(const THeaderIndex&) = delete;
    THeaderIndex& operator=(const THeaderIndex&) = delete;
    ~THeaderIndex() { Stop(); }

    // Forgets what it held and starts decoding the header fields of Emails in the background.
    // The list must stay alive and unchanged until Stop() (or the index's end). Gate, when
    // given, is called on the worker threads before each message.
    void Start(const TFoundEmails& Emails, unsigned Threads = 0, std::function<void()> Gate = {});
    // Stops the decoding (waiting for its threads) and forgets everything.
    void Stop();

    // Every message's fields are there.
    bool Ready() const { return FReady.load(std::memory_order_acquire); }
    // Waits at most Timeout for Ready().
    bool WaitReady(std::chrono::milliseconds Timeout) const;
    // Messages decoded so far, of size().
    std::size_t Done() const { return FDone.load(std::memory_order_relaxed); }
    std::size_t size() const { return FCount; }

    // One message's fields; only once Ready().
    THeaderFields Fields(std::size_t Item) const;
    // Bytes held (arena and records), for the benchmark's account of memory.
    std::size_t MemoryBytes() const;

  private:
    struct TRecord {
        std::uint64_t At = 0;        // where the fields begin in its arena, one after the other
        std::uint32_t Sizes[4] = {}; // From, To, Subject, DateText
        std::int64_t Time = 0;
        bool HasTime = false;
    };
    void Run(const TFoundEmails& Emails, unsigned Threads, const std::function<void()>& Gate);

    // One arena per thread that built the index; FEnds[p]: the item after arena p's last.
    std::vector<std::string> FArenas;
    std::vector<std::size_t> FEnds;
    std::vector<TRecord> FRecords;
    std::size_t FCount = 0;
    std::thread FRunner;
    std::atomic<bool> FStop{false};
    std::atomic<bool> FReady{false};
    std::atomic<std::size_t> FDone{0};
    mutable std::mutex FMutex;
    mutable std::condition_variable FReadyChanged;
};
