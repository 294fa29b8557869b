#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "CarvingSkeleton.h"
#include "Globals.h"
#include "ScanHost.h"

// One line split into its parts.
struct TRPCField {
    std::uint8_t IsField = 0;
    std::string Name;
    std::string Value;
};

// Decides where a stored message begins and cuts a run of text into messages. Keeps no state
// between calls; the host receives one keep-alive call per step of the line walk.
class TEmailParser {
public:
    explicit TEmailParser(ScanHost& Host = NullScanHost());

    bool IsMessageStart(std::string_view Window, std::uint32_t SectorSize) const;
    // False when a window whose first byte is FirstByte cannot start a message: the first test of
    // IsMessageStart, cheap enough to make inline before calling it for every sector of a drive.
    static bool MayStartMessage(unsigned char FirstByte) { return FirstBytes[FirstByte]; }

    // Replaces Result with the messages cut from Text. When Starts is given it receives, for each
    // message, the 0-based offset in Text of its first line.
    void ExtractMessages(std::string_view Text, TEmailArray& Result,
                         std::vector<std::size_t>* Starts = nullptr) const;
    // The same messages as places in Text, nothing copied (Result is replaced).
    void ExtractCuts(std::string_view Text, TCutList& Result) const;

    static TRPCField ParseHeaderLine(std::string_view Line);
    static bool IsKnownHeader(const TRPCField& Field);
    static bool IsQuoteMarker(std::string_view Line);
    static void StoreHeaderField(const TRPCField& Field, TEmail& Email);

private:
    static const std::array<bool, 256> FirstBytes;
    ScanHost* FHost;
};
