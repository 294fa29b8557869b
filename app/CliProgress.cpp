#include "app/CliProgress.h"

#include <atomic>
#include <csignal>
#include <cstdio>

#include "engine/ProgressText.h"

namespace {

std::atomic<bool> Interrupt{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");

extern "C" void OnInterrupt(int) {
    Interrupt.store(true);
    // A second Ctrl+C is not caught: it ends the program.
    std::signal(SIGINT, SIG_DFL);
}

} // namespace

void CatchInterrupt() {
    Interrupt.store(false);
    std::signal(SIGINT, OnInterrupt);
}

void ReleaseInterrupt() {
    std::signal(SIGINT, SIG_DFL);
}

bool InterruptRequested() {
    return Interrupt.load(std::memory_order_relaxed);
}

bool TCliProgress::CancelRequested() {
    if (FStop && FStop()) return true;
    if (!InterruptRequested()) return false;
    FInterrupted = true;
    return true;
}

TCliProgress::TCliProgress(std::ostream& Out, bool Enabled, std::uint32_t SectorSize)
    : FOut(Out), FEnabled(Enabled), FSectorSize(SectorSize) {
    // No window to keep painted: the rules' once-a-line keep-alive points are skipped.
    SkipLinePoints();
}

void TCliProgress::ProgressOpen(std::uint64_t maximum) {
    FMaximum = maximum;
    FOpen = true;
    FStart = Clock::now();
    FLastDraw = FStart;
    if (FEnabled) FOut << '\r' << Line(0, 0) << std::flush;
}

void TCliProgress::ProgressPosition(std::uint64_t position) {
    if (!FEnabled || !FOpen) return;
    const auto now = Clock::now();
    if (now - FLastDraw < std::chrono::milliseconds(200)) return;
    FLastDraw = now;
    const double seconds = std::chrono::duration<double>(now - FStart).count();
    FOut << '\r' << Line(position, seconds) << std::flush;
}

void TCliProgress::ProgressClose() {
    if (FEnabled && FOpen) FOut << "\r\033[K" << std::flush;
    FOpen = false;
}

std::string TCliProgress::Line(std::uint64_t Position, double Seconds) const {
    constexpr int Width = 30;
    const double fraction =
        FMaximum > 0 ? std::min(1.0, static_cast<double>(Position) / static_cast<double>(FMaximum))
                     : 0.0;
    const int filled = static_cast<int>(fraction * Width);
    std::string line = "[" + std::string(filled, '#') + std::string(Width - filled, '.') + "] ";
    char pct[16];
    std::snprintf(pct, sizeof pct, "%5.1f%%", fraction * 100);
    line += pct;
    line += "  sector " + std::to_string(Position) + " of " + std::to_string(FMaximum);
    const double done = static_cast<double>(Position) * FSectorSize;
    if (Seconds > 0 && Position > 0) {
        const double rate = done / Seconds;
        line += "  " + ByteSizeText(rate) + "/s";
        const double left =
            static_cast<double>(FMaximum - std::min(Position, FMaximum)) * FSectorSize / rate;
        line += "  " + DurationText(left) + " left";
    }
    return line + "\033[K";
}
