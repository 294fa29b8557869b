#pragma once

// What a piece of a split scan found, kept for the merge: the runs it carved and the streams it
// opened, in drive order, each with the messages it gave and the bytes of those messages.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/CompressedStreams.h"
#include "engine/LargeBlocks.h"
#include "engine/ScanHardDisk.h"

// One message, its bytes in its batch's Bytes.
struct TPieceMessage {
    std::uint64_t Text = 0;
    std::uint64_t TextSize = 0;
    std::uint64_t Body = 0; // inside the text where it ends it, else after it
    std::uint64_t BodySize = 0;
    // From, To, Subject, Date: inside the text where they lie in it (a value as the header has
    // it), else after the text and the body.
    std::uint64_t FieldAt[4] = {};
    std::uint64_t FieldSizes[4] = {};
    TEmailPlace Place;
    // Settled by the piece's thread, so that the merge need not read the header block again;
    // not written to part files (read from the text when one is read).
    bool ClientDeleted = false;
};

// A run carved, or the streams opened, at sector Start; the scan went on at sector Next. Its
// messages are MessageCount of its batch's, from FirstMessage on.
struct TPieceEvent {
    std::uint64_t Start = 0;
    std::uint64_t Next = 0;
    bool Stream = false;
    std::uint64_t StreamsEnd = 0; // streams: where the last one ended on the drive
    std::uint64_t BudgetUsed = 0; // streams: inflated bytes the piece had spent before them
    TStreamCounts Counts;         // streams: what they cost
    std::size_t FirstMessage = 0;
    std::size_t MessageCount = 0;
};

// Events of a piece in drive order, with their messages and the bytes of those, one buffer of
// each for many events: on a mail-dense drive a piece makes an event or two a sector, and
// buffers of their own for each cost more in the allocator (and in fresh memory) than carving
// the sector. A batch handed back after the merge keeps its buffers for the next.
struct TPieceBatch {
    std::vector<TPieceEvent> Events;
    std::vector<TPieceMessage> Messages;
    // Large pages once past its first messages (Add): the pieces carved ahead of the merge hold
    // about a hundred MiB of batches on a mail-dense drive, and memory handed out a small page at
    // a time cost a fault every 4 KiB, a sixth of a two-job deep scan's time.
    TLargeString Bytes;

    // A new event at the end, with no message yet.
    TPieceEvent& NewEvent(std::uint64_t Start) {
        TPieceEvent& event = Events.emplace_back();
        event.Start = Start;
        event.Next = Start + 1;
        event.FirstMessage = Messages.size();
        return event;
    }
    // Takes back the last event, which holds no message: nothing will see it.
    void DropLast() { Events.pop_back(); }
    // Adds a message to the last event: its text, its body where the text does not end with it,
    // and its fields.
    void Add(std::string_view FullText, std::string_view Body, const std::string_view (&Fields)[4],
             TEmailPlace Place, bool ClientDeleted);
    std::string_view Text(const TPieceMessage& M) const {
        return std::string_view(Bytes).substr(M.Text, M.TextSize);
    }
    std::string_view Body(const TPieceMessage& M) const {
        return std::string_view(Bytes).substr(M.Body, M.BodySize);
    }
    std::string_view Field(const TPieceMessage& M, int I) const {
        return std::string_view(Bytes).substr(M.FieldAt[I], M.FieldSizes[I]);
    }
    // One past the last byte the message holds in Bytes.
    static std::uint64_t End(const TPieceMessage& M);
    // The bytes the event's messages hold, from the first's to the end of the last's.
    std::pair<std::size_t, std::size_t> ByteRange(const TPieceEvent& E) const;

    bool Empty() const { return Events.empty(); }
    void Clear() {
        Events.clear();
        Messages.clear();
        Bytes.clear();
    }
    std::size_t Footprint() const {
        return Bytes.size() + Messages.size() * sizeof(TPieceMessage) +
               Events.size() * sizeof(TPieceEvent);
    }
    // What its buffers hold, used or not.
    std::size_t Capacity() const {
        return Bytes.capacity() + Messages.capacity() * sizeof(TPieceMessage) +
               Events.capacity() * sizeof(TPieceEvent);
    }
};

// A whole piece: the sectors it covers, its events, the sector the scan went on at after it and
// the unreadable sectors its reading met (first sector, one past the last).
struct TPieceRecord {
    std::uint64_t First = 0;
    std::uint64_t End = 0;
    std::uint64_t Final = 0;
    bool Complete = false; // false: the scan of it was cancelled
    TPieceBatch Found;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> Unreadable;
};

// A piece written to a file, for a merge on another machine or later: what it is a piece of and
// how it was carved, then the piece itself.
struct TPartFile {
    static constexpr std::uint32_t Version = 2;
    std::uint64_t TargetBytes = 0; // the drive's size in whole sectors
    std::uint32_t SectorSize = 0;
    TCarvingRule Rule = TCarvingRule::Standard;
    TPieceRecord Piece;
};

// The file's bytes; and back, throwing TPwError with a short reason when they are no part file,
// another version of one, or cut short.
std::string EncodePart(const TPartFile& Part);
TPartFile DecodePart(std::string_view Bytes);
