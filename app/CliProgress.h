#pragma once

// The command-line scanner's host: a one-line progress bar (position, rate, time left) drawn on a
// terminal, nothing at all when the output is not one. Keep-alive calls cost nothing here: there
// are no windows to keep painted.

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "engine/ScanHost.h"

class TCliProgress : public TScanHost {
  public:
    // Draws on Out only when Enabled; SectorSize turns sectors into bytes for the rate.
    TCliProgress(std::ostream& Out, bool Enabled, std::uint32_t SectorSize);

    void SetSectorSize(std::uint32_t SectorSize) { FSectorSize = SectorSize; }

    void KeepAlive(std::uint64_t) final {}
    void ProgressOpen(std::uint64_t maximum) override;
    void ProgressPosition(std::uint64_t position) override;
    void ProgressClose() override;
    // True once Ctrl+C was pressed (see CatchInterrupt); the scan then stops keeping what it found.
    bool CancelRequested() override;
    // The scan was told to stop by Ctrl+C.
    bool Interrupted() const { return FInterrupted; }
    // The scan also stops when Stop answers true: what it finds could no longer be written.
    void StopWhen(std::function<bool()> Stop) { FStop = std::move(Stop); }

    // The line drawn for a position after Seconds of scanning (without the leading carriage
    // return); exposed so that its wording can be checked.
    std::string Line(std::uint64_t Position, double Seconds) const;

  private:
    using Clock = std::chrono::steady_clock;
    std::ostream& FOut;
    bool FEnabled;
    std::uint32_t FSectorSize;
    std::uint64_t FMaximum = 0;
    bool FOpen = false;
    Clock::time_point FStart{};
    Clock::time_point FLastDraw{};
    bool FInterrupted = false;
    std::function<bool()> FStop;
};

// Ctrl+C during a scan: the first asks the scan to stop (what was found is still printed and
// exported), a second one ends the program at once as usual. Catching ends with ReleaseInterrupt.
void CatchInterrupt();
void ReleaseInterrupt();
// Ctrl+C was pressed since CatchInterrupt.
bool InterruptRequested();

// Ctrl+C caught for as long as this lives: over the scan and over the writing of its results,
// which the first Ctrl+C lets finish.
class TInterruptCatch {
  public:
    TInterruptCatch() { CatchInterrupt(); }
    ~TInterruptCatch() { ReleaseInterrupt(); }
    TInterruptCatch(const TInterruptCatch&) = delete;
    TInterruptCatch& operator=(const TInterruptCatch&) = delete;
};
