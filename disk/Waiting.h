#pragma once

// A lock and a condition for the threads of one scan, used as std::mutex and
// std::condition_variable are (with std::unique_lock and std::lock_guard). Elsewhere they are
// those; on Windows they are the system's slim lock and condition variable. The C++ runtime there
// builds its own on semaphores and events, and under Wine every wait and wake on those is a trip
// to the server, which with every core carving must wait for a core itself.

#ifdef _WIN32
#include <chrono>
#include <mutex>

class TLock {
  public:
    TLock() = default;
    TLock(const TLock&) = delete;
    TLock& operator=(const TLock&) = delete;
    void lock();
    void unlock();
    bool try_lock();

  private:
    friend class TCondition;
    void* FState = nullptr; // the system's lock: one pointer, all zeros when free
};

class TCondition {
  public:
    TCondition() = default;
    TCondition(const TCondition&) = delete;
    TCondition& operator=(const TCondition&) = delete;
    void notify_one();
    void notify_all();
    void wait(std::unique_lock<TLock>& Lock) { WaitMs(Lock, Forever); }
    template <class TPredicate> void wait(std::unique_lock<TLock>& Lock, TPredicate Ready) {
        while (!Ready())
            wait(Lock);
    }
    // True when Ready holds, as std::condition_variable::wait_for with a predicate answers.
    template <class TRep, class TPeriod, class TPredicate>
    bool wait_for(std::unique_lock<TLock>& Lock, const std::chrono::duration<TRep, TPeriod>& Time,
                  TPredicate Ready) {
        const auto deadline = std::chrono::steady_clock::now() + Time;
        while (!Ready()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return Ready();
            WaitMs(Lock, static_cast<unsigned long>(left.count()));
        }
        return true;
    }

  private:
    static constexpr unsigned long Forever = 0xFFFFFFFFul;
    // Lets go of Lock while it waits, at most Ms milliseconds, and holds it again after.
    void WaitMs(std::unique_lock<TLock>& Lock, unsigned long Ms);
    void* FState = nullptr; // the system's condition variable: one pointer, zeros when unused
};

#else
#include <condition_variable>
#include <mutex>

using TLock = std::mutex;
using TCondition = std::condition_variable;
#endif
