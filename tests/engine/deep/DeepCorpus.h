#pragma once

// A disk image of the project's own making for measuring the deep rule: messages of the kinds
// real mailboxes hold (long Received chains, 8-bit and ISO-2022 bodies, quoted replies and
// forwards, digests with Date lines in their bodies, opening Delivered-To / MIME-Version / X-
// lines) stored one per sector-aligned place, between zeros and binary noise. Same seed, same
// image.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TDeepCorpus {
    std::string Image;
    std::vector<std::string> Messages;  // each planted message, byte for byte
    std::vector<std::uint64_t> Offsets; // where each one starts in Image
};

// Count messages on an image of SectorSize-byte sectors; sector 0 holds no message.
TDeepCorpus MakeDeepCorpus(unsigned Seed, std::size_t Count, std::size_t SectorSize = 512);

// One message of the given kind (0 ... DeepMessageKinds - 1), for tests that want a single one.
constexpr int DeepMessageKinds = 8;
std::string MakeDeepMessage(unsigned Seed, int Kind);

// Tally of a scan's findings against the planted messages.
struct TDeepTally {
    std::size_t Whole = 0;    // planted messages found byte for byte
    std::size_t Invented = 0; // found pieces that are no planted message
};
TDeepTally TallyFound(const TDeepCorpus& Corpus, const std::vector<std::string>& FoundTexts);
