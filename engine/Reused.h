#pragma once

// Scratch storage of this thread's own, kept from one use to the next so that its memory serves
// every run a thread carves. A use begun while another is under way on the same thread (a host's
// keep-alive call that carves again) gets a fresh object instead.

#include <optional>

template <class T> class TReused {
  public:
    TReused() : FHeld(Busy() ? &FOwn.emplace() : &Slot()) {
        if (FHeld == &Slot()) Busy() = true;
    }
    ~TReused() {
        if (FHeld == &Slot()) Busy() = false;
    }
    TReused(const TReused&) = delete;
    TReused& operator=(const TReused&) = delete;

    T* operator->() { return FHeld; }
    T& operator*() { return *FHeld; }

  private:
    static T& Slot() {
        thread_local T slot;
        return slot;
    }
    static bool& Busy() {
        thread_local bool busy = false;
        return busy;
    }

    std::optional<T> FOwn; // before FHeld, which may point at it
    T* FHeld;
};
