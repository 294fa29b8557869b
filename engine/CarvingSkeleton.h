#pragma once

// What both carving rules do the same way: walk a run's lines, and take a message from its first
// line to its last (start it, store a field, open the body, finish it). Each rule keeps only its
// own line states and decides, line by line, which step to take. A message's lines are
// contiguous in the run from its first line until the next message begins, and its body from its
// empty line on, so a message is cut as places in the run, and its bytes are copied once, where
// it is kept.

#include <string_view>
#include <utility>
#include <vector>

#include "FastStrings.h"
#include "Globals.h"
#include "ScanHost.h"

// Index of a known header name (any ASCII case) among the ten, or -1.
int KnownHeaderIndex(std::string_view Name);
// Stores Value in the field of Email that the known header Known fills (From, To, Subject, Date).
void StoreKnownHeader(int Known, std::string_view Value, TEmail& Email);
// The field a known header fills: 0 From, 1 To, 2 Subject, 3 Date; -1 for the others.
int KnownFieldIndex(int Known);

// A message cut from a run, as places in the run: nothing is copied until the message is kept.
struct TCutMessage {
    std::size_t Start = 0;     // its first line
    std::size_t End = 0;       // past its last byte
    std::size_t BodyStart = 0; // its empty line, when HasBody
    bool HasBody = false;
    std::string_view Fields[4]; // From, To, Subject, Date: views into the run
};
using TCutList = std::vector<TCutMessage>;

// The cut messages as stored messages (copies of their bytes), and their starts when asked.
void CutsToEmails(std::string_view Text, const TCutList& Cuts, TEmailArray& Result,
                  std::vector<std::size_t>* Starts);

class TMessageCutter {
  public:
    // Cuts into Found, which is emptied first (its memory kept for the next run).
    TMessageCutter(std::string_view Text, ScanHost& Host, TCutList& Found)
        : FText(Text), FHost(&Host), FFound(Found) {
        FFound.clear();
    }

    // Hands each line (with its CR LF) and its 0-based start in the run to OnLine, one keep-alive
    // call per step, the search that finds no more line included; then finishes the last message.
    template <class TOnLine>
    void EachLine(TOnLine&& OnLine) {
        std::size_t p = 0;
        for (;;) {
            FHost->KeepAlive();
            const std::size_t cr = FindLineEnd(FText, p + 1);
            if (cr == 0) break;
            const std::size_t next = cr + 1; // past the LF
            OnLine(FText.substr(p, next - p), p);
            if (FInHeader || FInBody) FEnd = next;
            p = next;
        }
        Finish();
    }

    // EachLine for a rule that ends its lines its own way: NextLine(p) answers the 0-based end (past
    // the last byte) of the line starting at p, or 0 when no line ends; it may change from line to
    // line with what the rule has seen.
    template <class TNextLine, class TOnLine>
    void EachLineBy(TNextLine&& NextLine, TOnLine&& OnLine) {
        std::size_t p = 0;
        for (;;) {
            FHost->KeepAlive();
            const std::size_t next = NextLine(p);
            if (next == 0) break;
            OnLine(FText.substr(p, next - p), p);
            if (FInHeader || FInBody) FEnd = next;
            p = next;
        }
        Finish();
    }

    bool InHeader() const { return FInHeader; }
    bool InMessage() const { return FInHeader || FInBody; }
    // The open message ends at End, before the line that is being handed (End lies at or after the
    // start of its body); no later line belongs to it.
    void Close(std::size_t End) {
        if (!InMessage()) return;
        FEnd = End;
        FInHeader = FInBody = false;
    }
    // After the walk: the last message loses its bytes from End on (End inside its body).
    void CutBack(std::size_t End) {
        if (FFound.empty() || End >= FEnd || End < FBodyStart || !FHasBody) return;
        FFound.back().End = End;
        FEnd = End;
    }
    // A message begins with the line at At; the one before it is complete.
    void Start(std::size_t At) {
        Finish();
        FFound.emplace_back();
        FFound.back().Start = At;
        FHasBody = false;
        FInHeader = true;
        FInBody = false;
    }

    void Store(int Known, std::string_view Value) {
        const int field = KnownFieldIndex(Known);
        if (field >= 0) FFound.back().Fields[field] = Value;
    }
    // The empty line at At closes the header block; the body runs from it.
    void OpenBody(std::size_t At) {
        FInHeader = false;
        FInBody = true;
        FHasBody = true;
        FBodyStart = At;
    }

  private:
    void Finish() {
        if (FFound.empty()) return;
        TCutMessage& cut = FFound.back();
        cut.End = FEnd;
        cut.HasBody = FHasBody;
        cut.BodyStart = FHasBody ? FBodyStart : FEnd;
    }

    std::string_view FText;
    ScanHost* FHost;
    TCutList& FFound;
    bool FInHeader = false, FInBody = false, FHasBody = false;
    std::size_t FBodyStart = 0, FEnd = 0;
};
