#pragma once

// What both carving rules do the same way: walk a run's lines, and take a message from its first
// line to its last (start it, store a field, open the body, finish it). Each rule keeps only its
// own line states and decides, line by line, which step to take. A message's lines are
// contiguous in the run from its first line until the next message begins, and its body from its
// empty line on, so each text is copied once, as a range, when the message is complete.

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

class TMessageCutter {
  public:
    TMessageCutter(std::string_view Text, ScanHost& Host) : FText(Text), FHost(&Host) {}

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
        TEmail& email = FFound.back();
        const std::size_t drop = FEnd - End;
        email.FullText.resize(email.FullText.size() - drop);
        email.Body.resize(email.Body.size() - drop);
        FEnd = End;
    }
    // A message begins with the line at At; the one before it is complete.
    void Start(std::size_t At) {
        Finish();
        FFound.emplace_back();
        FStarts.push_back(At);
        FMessageStart = At;
        FHasBody = false;
        FInHeader = true;
        FInBody = false;
    }

    void Store(int Known, std::string_view Value) { StoreKnownHeader(Known, Value, FFound.back()); }
    // The empty line at At closes the header block; the body runs from it.
    void OpenBody(std::size_t At) {
        FInHeader = false;
        FInBody = true;
        FHasBody = true;
        FBodyStart = At;
    }
    void Hand(TEmailArray& Result, std::vector<std::size_t>* Starts) {
        Result = std::move(FFound);
        if (Starts != nullptr) *Starts = std::move(FStarts);
    }

  private:
    void Finish() {
        if (FFound.empty()) return;
        TEmail& email = FFound.back();
        email.FullText.assign(FText.substr(FMessageStart, FEnd - FMessageStart));
        if (FHasBody) email.Body.assign(FText.substr(FBodyStart, FEnd - FBodyStart));
    }

    std::string_view FText;
    ScanHost* FHost;
    TEmailArray FFound;
    std::vector<std::size_t> FStarts;
    bool FInHeader = false, FInBody = false, FHasBody = false;
    std::size_t FMessageStart = 0, FBodyStart = 0, FEnd = 0;
};
