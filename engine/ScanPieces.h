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
    // Settled by the piece's thread, so that the merge need not read the header block again;
    // not written to part files (read from the text when one is read).
    bool ClientDeleted = false;
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
    // What its buffers hold, used or not.
    std::size_t Capacity() const {
        return Bytes.capacity() + Messages.capacity() * sizeof(TPieceMessage);
    }
};

struct TPieceLog {
    std::vector<TPieceEvent> Events;
    // Events the merge is done with, their buffers kept: on a mail-dense drive a piece makes an
    // event or two a sector, and new buffers for each cost more in the allocator (and in fresh
    // memory) than carving the sector.
    std::vector<TPieceEvent> Spare;

    // A new event at the end of Events, in a spare's buffers where there is one.
    TPieceEvent& NewEvent() {
        TPieceEvent& event = Events.emplace_back();
        if (!Spare.empty()) {
            event.Messages.swap(Spare.back().Messages);
            event.Bytes.swap(Spare.back().Bytes);
            Spare.pop_back();
            event.Messages.clear();
            event.Bytes.clear();
        }
        return event;
    }
    // Takes back the last event, which nothing will see.
    void DropLast() {
        Spare.push_back(std::move(Events.back()));
        Events.pop_back();
    }
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
