#pragma once

// What the scan driver asks of a carving rule, and what a rule answers: messages cut from a run of
// drive bytes that carries its own place on the drive.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

// The carving rule that found a message.
enum class TCarvingRule { Standard, Deep };

// "standard" or "deep", as the front ends name the rules.
inline const char* CarvingRuleName(TCarvingRule Rule) {
    return Rule == TCarvingRule::Deep ? "deep" : "standard";
}

// Bytes of the drive and where they lie on it.
struct TByteRun {
    std::uint64_t DriveOffset = 0; // of Bytes' first byte
    std::string_view Bytes;
};

// A message cut from a run, as views into the run: nothing is copied until the message is kept.
struct TCutMessage {
    std::uint64_t DriveOffset = 0; // of its first line
    std::string_view FullText;
    std::string_view Body;      // its tail from the empty line that closed its header; may be empty
    std::string_view Fields[4]; // From, To, Subject, Date
    // IsClientDeleted of FullText, where the cut settled it already.
    std::optional<bool> ClientDeleted;
};
using TCutList = std::vector<TCutMessage>;

// Bytes [Offset, Offset + Count) of the drive, zeros past its end; valid until the next call.
using TDriveFetch = std::function<std::string_view(std::uint64_t Offset, std::uint32_t Count)>;

// A carving rule as the scan driver uses it. The driver walks the sectors; at each one whose first
// byte MayStart allows it asks StartsAt, and where a rule answers, measures the run of that rule's
// text bytes from the sector (at most RunCap) and has that rule Carve it.
//
// Where a rule may start afresh: at any sector start. Its start test is a function of the bytes
// from the sector on, at most StartReach of them; its cut is a function of the run alone. What a
// rule remembers from one sector to the next (the deep rule's header block still open) only saves
// reading, and Restart drops it without changing any answer. So the one state a piece of the drive
// needs at its first sector belongs to the driver: whether a run begun in an earlier sector covers
// it. A scan split at sector boundaries guesses "no", and re-carves from the end of such a run
// where the guess was wrong.
class TRule {
  public:
    // The longest run of text bytes handed to Carve.
    static constexpr std::uint32_t RunCap = 20971520;
    // The bytes handed to StartsAt: two sectors from the sector's start.
    static constexpr std::uint32_t WindowSectors = 2;

    virtual ~TRule() = default;

    // False when no message of this rule can start at a sector whose first byte is FirstByte:
    // settles almost every sector of a drive without a call.
    bool MayStart(unsigned char FirstByte) const { return (*FFirstBytes)[FirstByte]; }

    // Whether a message starts at the sector Window begins with (WindowSectors sectors of it, zeros
    // past the drive's end), and which rule cuts it: this one, another one it hands over to, or
    // none (nullptr). Drive serves bytes past the window; the window is not used after asking it.
    virtual TRule* StartsAt(const TByteRun& Window, std::uint32_t SectorSize,
                            const TDriveFetch& Drive) = 0;
    // Number of this rule's text bytes at the start of Bytes: a run is made of them.
    virtual std::size_t TextPrefix(std::string_view Bytes) const = 0;
    // After StartsAt: how many bytes from the window's start the start test has seen to be text
    // of the rule it answered, so that the run is measured on from there (0: from the start).
    virtual std::size_t KnownText() const { return 0; }
    // The run of this rule's text bytes from a start it is to Carve, Known of them known already
    // (KnownText): measured on in pieces that grow from First bytes to a MiB, so that a short run
    // costs little, RunCap in all at most. Bytes(At, Count) serves Count bytes from the start's
    // At on, fewer where they end; Reached(Run) hears how far each piece has measured.
    template <class TBytes, class TReached>
    std::size_t MeasureRun(std::size_t Known, std::size_t First, TBytes&& Bytes,
                           TReached&& Reached) const {
        std::size_t run = std::min<std::size_t>(Known, RunCap);
        std::size_t piece = First;
        while (run < RunCap) {
            const std::size_t want = std::min<std::size_t>(piece, RunCap - run);
            const std::size_t got = TextPrefix(Bytes(run, want));
            run += got;
            Reached(run);
            if (got < want) break;
            piece = std::min<std::size_t>(piece * 2, std::size_t{1} << 20);
        }
        return run;
    }
    // Replaces Cuts with the messages cut from Run, a run of text bytes whose start StartsAt
    // answered with this rule. Cuts' views point into Run.
    virtual void Carve(const TByteRun& Run, TCutList& Cuts) const = 0;
    // Which rule the results name for the messages this one cuts.
    virtual TCarvingRule Kind() const = 0;

    // How many bytes from a sector's start its start test may read.
    virtual std::uint64_t StartReach(std::uint32_t SectorSize) const = 0;
    // Forgets what was remembered between sectors; the answers stay what they are.
    virtual void Restart() {}

  protected:
    explicit TRule(const std::array<bool, 256>& FirstBytes) : FFirstBytes(&FirstBytes) {}
    TRule(const TRule&) = default;
    TRule& operator=(const TRule&) = default;

  private:
    const std::array<bool, 256>* FFirstBytes;
};
