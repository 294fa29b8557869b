#pragma once

// What both carving rules do the same way: walk a run's lines, and take a message from its first
// line to its last (start it, store a field, open the body, finish it). Each rule keeps only its
// own line states and decides, line by line, which step to take. A message's lines are
// contiguous in the run from its first line until the next message begins, and its body from its
// empty line on, so a message is cut as views of the run, and its bytes are copied once, where
// it is kept.

#include <cstddef>
#include <string_view>
#include <vector>

#include "engine/CarvingRule.h"
#include "engine/Globals.h"
#include "engine/HeaderNames.h"
#include "engine/ScanHost.h"

// The cut messages as stored messages (copies of their bytes), and their drive offsets when asked.
void CutsToEmails(const TCutList& Cuts, TEmailArray& Result, std::vector<std::size_t>* Starts);

class TMessageCutter {
  public:
    // Cuts into Found, which is emptied first (its memory kept for the next run). Positions below
    // are 0-based offsets in the run; the cuts come out at drive offsets.
    TMessageCutter(const TByteRun& Run, TScanHost& Host, TCutList& Found)
        : FRun(Run), FHost(&Host), FFound(Found) {
        FFound.clear();
    }

    // Hands each line (with its line end) and its start in the run to OnLine, one keep-alive call
    // per step, the search that finds no more line included; then finishes the last message.
    // NextLine(p) answers the end (past the last byte) of the line starting at p, or 0 when no
    // line ends; it may change from line to line with what the rule has seen.
    template <class TNextLine, class TOnLine>
    void EachLineBy(TNextLine&& NextLine, TOnLine&& OnLine) {
        std::size_t p = 0;
        for (;;) {
            FHost->LineKeepAlive();
            const std::size_t next = NextLine(p);
            if (next == 0) break;
            OnLine(std::string_view(FRun.Bytes.data() + p, next - p), p); // next <= the run's size
            p = next;
        }
        // An open message holds every line handed since it began.
        if (InMessage()) FEnd = p;
        Finish();
    }

    bool InHeader() const { return FPart == TPart::Header; }
    bool InMessage() const { return FPart != TPart::Between; }
    // The open message ends at End, before the line that is being handed (End lies at or after the
    // start of its body); no later line belongs to it.
    void Close(std::size_t End) {
        if (!InMessage()) return;
        FEnd = End;
        FPart = TPart::Between;
    }
    // After the walk: the last message loses its bytes from End on (End inside its body).
    void CutBack(std::size_t End) {
        if (FFound.empty() || End >= FEnd || End < FBodyStart || !FHasBody) return;
        FEnd = End;
        Finish();
    }
    // A message begins with the line at At; the one before it is complete, and if still open,
    // runs up to At.
    void Start(std::size_t At) {
        if (InMessage()) FEnd = At;
        Finish();
        FFound.emplace_back();
        FStart = At;
        FHasBody = false;
        FPart = TPart::Header;
    }

    void Store(int Known, std::string_view Value) {
        if (const int field = KnownFieldIndex(Known); field >= 0) StoreField(field, Value);
    }
    // Field: as KnownFieldIndex answers.
    void StoreField(int Field, std::string_view Value) { FFound.back().Fields[Field] = Value; }
    // The open message's IsClientDeleted, settled from its lines.
    void SettleClientDeleted(bool Deleted) { FFound.back().ClientDeleted = Deleted; }
    // Where the open message begins.
    std::size_t MessageStart() const { return FStart; }
    // The empty line at At closes the header block; the body runs from it.
    void OpenBody(std::size_t At) {
        FPart = TPart::Body;
        FHasBody = true;
        FBodyStart = At;
    }

  private:
    void Finish() {
        if (FFound.empty()) return;
        TCutMessage& cut = FFound.back();
        cut.DriveOffset = FRun.DriveOffset + FStart;
        cut.FullText = FRun.Bytes.substr(FStart, FEnd - FStart);
        cut.Body = FHasBody ? FRun.Bytes.substr(FBodyStart, FEnd - FBodyStart) : std::string_view();
    }

    TByteRun FRun;
    TScanHost* FHost;
    TCutList& FFound;
    // Where the line being handed stands, between messages, in a header block or in a body: one
    // state, as it is asked of every line.
    enum class TPart : unsigned char { Between, Header, Body };
    TPart FPart = TPart::Between;
    bool FHasBody = false;
    std::size_t FStart = 0, FBodyStart = 0, FEnd = 0;
};
