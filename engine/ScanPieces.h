#pragma once

// What a piece of a split scan found, kept for the merge: the runs it carved and the streams it
// opened, in drive order, each with the messages it gave and the bytes of those messages.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/CompressedStreams.h"
#include "engine/ScanHardDisk.h"

// One message, its bytes in the event's Bytes.
struct TPieceMessage {
    std::uint64_t Text = 0;
    std::uint64_t TextSize = 0;
    std::uint64_t Body = 0; // inside the text where it ends it, else after it
    std::uint64_t BodySize = 0;
    std::uint64_t Fields = 0; // From, To, Subject, Date, one after the other
    std::uint64_t FieldSizes[4] = {};
    TEmailPlace Place;
};

// A run carved, or the streams opened, at sector Start; the scan went on at sector Next.
struct TPieceEvent {
    std::uint64_t Start = 0;
    std::uint64_t Next = 0;
    bool Stream = false;
    std::uint64_t StreamsEnd = 0; // streams: where the last one ended on the drive
    std::uint64_t BudgetUsed = 0; // streams: inflated bytes the piece had spent before them
    TStreamCounts Counts;         // streams: what they cost
    std::vector<TPieceMessage> Messages;
    std::string Bytes;

    std::size_t Footprint() const { return Bytes.size() + Messages.size() * sizeof(TPieceMessage); }
};

struct TPieceLog {
    std::vector<TPieceEvent> Events;
};

// A whole piece: the sectors it covers, its events, the sector the scan went on at after it and
// the unreadable sectors its reading met (first sector, one past the last).
struct TPieceRecord {
    std::uint64_t First = 0;
    std::uint64_t End = 0;
    std::uint64_t Final = 0;
    bool Complete = false; // false: the scan of it was cancelled
    std::vector<TPieceEvent> Events;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> Unreadable;
};

// A piece written to a file, for a merge on another machine or later: what it is a piece of and
// how it was carved, then the piece itself.
struct TPartFile {
    static constexpr std::uint32_t Version = 1;
    std::uint64_t TargetBytes = 0; // the drive's size in whole sectors
    std::uint32_t SectorSize = 0;
    TCarvingRule Rule = TCarvingRule::Standard;
    TPieceRecord Piece;
};

// The file's bytes; and back, throwing TPwError with a short reason when they are no part file,
// another version of one, or cut short.
std::string EncodePart(const TPartFile& Part);
TPartFile DecodePart(std::string_view Bytes);
