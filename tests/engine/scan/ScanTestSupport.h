#pragma once

// Helpers for the scan tests: a host that records what the scan tells it, and (from the shared
// test support) a temporary folder, disk images written byte for byte and messages to plant.

#include <cstdint>
#include <vector>

#include "disk/Error.h"
#include "engine/ScanHost.h"
#include "tests/support/ImageBuilder.h"
#include "tests/support/TempDir.h"

// The drive offsets of a scan result's messages, in found order.
template <class TResult> std::vector<std::uint64_t> OffsetsOf(const TResult& Result) {
    std::vector<std::uint64_t> offsets;
    for (const auto& place : Result.Places)
        offsets.push_back(place.Offset);
    return offsets;
}

class TRecordingHost : public TScanHost {
  public:
    std::uint64_t KeepAlives = 0;
    std::vector<std::uint64_t> Opens;
    std::vector<std::uint64_t> Positions;
    int Closes = 0;
    // When not 0: the keep-alive call that brings the total to this number fails.
    std::uint64_t FailAtKeepAlive = 0;

    void KeepAlive(std::uint64_t count) override {
        KeepAlives += count;
        if (FailAtKeepAlive != 0 && KeepAlives >= FailAtKeepAlive) throw TPwError("host failed");
    }
    void ProgressOpen(std::uint64_t maximum) override { Opens.push_back(maximum); }
    void ProgressPosition(std::uint64_t position) override { Positions.push_back(position); }
    void ProgressClose() override { ++Closes; }
};
