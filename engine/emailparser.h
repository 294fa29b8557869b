#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/CarvingRule.h"
#include "engine/Globals.h"
#include "engine/ScanHost.h"

// One line split into its parts.
struct TRPCField {
    std::uint8_t IsField = 0;
    std::string Name;
    std::string Value;
};

// Decides where a stored message begins and cuts a run of text into messages. Keeps no state
// between calls; the host receives one keep-alive call per step of the line walk.
class TEmailParser final : public TRule {
  public:
    explicit TEmailParser(TScanHost& Host = NullScanHost());

    bool IsMessageStart(std::string_view Window, std::uint32_t SectorSize) const;
    // False when a window whose first byte is FirstByte cannot start a message: the first test of
    // IsMessageStart, cheap enough to make inline before calling it for every sector of a drive.
    static bool MayStartMessage(unsigned char FirstByte) { return FirstBytes[FirstByte]; }

    // Replaces Result with the messages cut from Text. When Starts is given it receives, for each
    // message, the 0-based offset in Text of its first line.
    void ExtractMessages(std::string_view Text, TEmailArray& Result,
                         std::vector<std::size_t>* Starts = nullptr) const;

    static TRPCField ParseHeaderLine(std::string_view Line);
    static bool IsKnownHeader(const TRPCField& Field);
    static bool IsQuoteMarker(std::string_view Line);
    static void StoreHeaderField(const TRPCField& Field, TEmail& Email);

    // Bytes a stored message's text is made of: tab, LF, VT, CR and printable ASCII.
    static bool IsTextByte(unsigned char b) { return TextBytes[b]; }
    // Number of text bytes at the start of Bytes.
    static std::size_t TextRunLength(std::string_view Bytes);

    // The rule in a scan: IsMessageStart over the window, ExtractMessages' cut over the run.
    TRule* StartsAt(const TByteRun& Window, std::uint32_t SectorSize,
                    const TDriveFetch& Drive) override;
    std::size_t TextPrefix(std::string_view Bytes) const override { return TextRunLength(Bytes); }
    void Carve(const TByteRun& Run, TCutList& Cuts) const override;
    TCarvingRule Kind() const override { return TCarvingRule::Standard; }
    std::uint64_t StartReach(std::uint32_t SectorSize) const override {
        return std::uint64_t{WindowSectors} * SectorSize;
    }

  private:
    static const std::array<bool, 256> FirstBytes;
    static const std::array<bool, 256> TextBytes;
    TScanHost* FHost;
};
