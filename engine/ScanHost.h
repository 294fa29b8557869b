#pragma once

#include <cstdint>

struct TScanResult;

// What the engine needs of the program around it: the keep-alive call (let the windows process
// pending events) and a progress display. The desktop program implements it with its event loop
// and TfrmWait, the command-line scanner with a terminal progress bar, tests with a recording fake.
//
// KeepAlive(n) stands for n keep-alive points passed at once (for instance one per byte of a text
// run measured in memory); hosts must keep it cheap and decide themselves when to really pump
// events, so that the scan runs as fast with a window as without.
class TScanHost {
  public:
    virtual ~TScanHost() = default;

    virtual void KeepAlive(std::uint64_t count = 1) { (void)count; }
    // The rules' keep-alive point, once a line they walk: a call of KeepAlive, or, for a host
    // that has no use for these (SkipLinePoints), a test instead of a call on every line.
    void LineKeepAlive() {
        if (FLinePoints) KeepAlive();
    }

    // Progress window: created and shown with its maximum (the drive's sector count), moved to the
    // sector about to be examined, closed when the scan ends (also when it ends by an error).
    virtual void ProgressOpen(std::uint64_t maximum) { (void)maximum; }
    virtual void ProgressPosition(std::uint64_t position) { (void)position; }
    virtual void ProgressClose() {}

    // The byte offset the scan has reached, told far more often than the position (also inside
    // long text runs), so that a display can move by bytes; hosts keep it cheap.
    virtual void ProgressBytes(std::uint64_t offset) { (void)offset; }

    // Asked as often as ProgressBytes: true ends the scan there, keeping what was found so far.
    virtual bool CancelRequested() { return false; }

    // One message was added to the found list, so that a display can count them as they come.
    virtual void MessageFound() {}
    // Right after MessageFound: the list so far, its newest message last, for a host that hands
    // messages on as they are found. The list must not be kept beyond the call.
    virtual void MessageKept(const TScanResult& SoFar) { (void)SoFar; }

  protected:
    // For a host whose KeepAlive does nothing.
    void SkipLinePoints() { FLinePoints = false; }

  private:
    bool FLinePoints = true;
};

// A host that does nothing: for callers that need no window and no progress.
inline TScanHost& NullScanHost() {
    static TScanHost host;
    return host;
}
