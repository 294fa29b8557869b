#pragma once

// An image held in memory behind the system seam, with faults a test or a fuzz target switches on:
// reads that fail over chosen byte ranges, reads cut short, a device that vanishes after a number
// of reads, an image cut shorter while it is read, and holes a sparse image would report.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "SystemLayer.h"

class TFaultySystem final : public TSystemLayer {
  public:
    // --- the image ---
    std::string Path = "/faulty.img";
    std::string Bytes;              // the image's content
    std::uint32_t SectorSize = 512; // as MeasureDrive reports it

    // --- faults ---
    std::vector<std::pair<std::uint64_t, std::uint64_t>> BadBytes; // [first, end): reads fail
    std::uint64_t MaxReadBytes = 0;       // not 0: a read moves at most this many bytes
    std::uint64_t VanishAfterReads = 0;   // not 0: every read after this many fails
    std::uint64_t TruncateAfterReads = 0; // not 0: after this many reads the image shrinks
    std::uint64_t TruncateTo = 0;         // ... to this many bytes
    // Data extents a sparse image reports ([first, end), ascending). Bytes outside read as
    // zeros in Bytes too, so results must match those of a layer that reports none.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> DataExtents;
    bool ReportsExtents = false;

    // --- what happened ---
    std::uint64_t ReadCalls = 0;
    std::uint64_t FailedReads = 0;
    std::uint64_t ShortReads = 0;
    std::uint64_t LowestOffsetRead = UINT64_MAX;
    int OpenHandles = 0;

    bool UsesDriveLetters() const override { return false; }
    bool GetVersionExA(TOSVersionInfo&) override { return false; }
    bool GetVersionExA(TOSVersionInfoEx&) override { return false; }
    bool HasGetDiskFreeSpaceExA() override { return false; }
    bool GetDiskFreeSpaceExA(const std::string&, std::uint64_t&) override { return false; }
    bool GetDiskFreeSpaceA(const std::string&, TDiskFreeSpace&) override { return false; }
    THandle CreateFileA(const std::string&, std::uint32_t, std::uint32_t, std::uint32_t,
                        std::uint32_t) override {
        return InvalidHandle;
    }
    bool SetFilePointer(THandle, std::int64_t) override { return false; }
    bool ReadFile(THandle, void*, std::uint32_t, std::uint32_t&) override { return false; }
    void CloseHandle(THandle) override {}
    bool DeviceIoControl(THandle, std::uint32_t, TDiocRegisters&, const TDiskIO&, void*) override {
        return false;
    }
    std::uint32_t GetLogicalDriveStringsA(std::uint32_t, char*) override { return 0; }
    std::uint32_t SetErrorMode(std::uint32_t) override { return 0; }
    bool GetCurrentDirectoryA(std::string&) override { return false; }
    bool SetCurrentDirectoryA(const std::string&) override { return false; }
    std::string SysErrorMessage(std::uint32_t) override { return {}; }
    std::vector<std::string> BlockDevices() override { return {}; }

    THandle OpenForReading(const std::string& P, TOpenError& Error) override {
        if (P != Path) {
            Error = TOpenError::NotFound;
            return InvalidHandle;
        }
        Error = TOpenError::None;
        ++OpenHandles;
        return 7;
    }
    bool MeasureDrive(THandle, std::uint32_t& Sector, std::uint64_t& Total) override {
        Sector = SectorSize;
        Total = Bytes.size();
        return true;
    }
    void Close(THandle) override { --OpenHandles; }

    std::int64_t ReadAt(THandle, void* Target, std::uint64_t Count, std::uint64_t Offset) override {
        ++ReadCalls;
        LowestOffsetRead = std::min(LowestOffsetRead, Offset);
        if (TruncateAfterReads != 0 && ReadCalls > TruncateAfterReads && Bytes.size() > TruncateTo)
            Bytes.resize(TruncateTo);
        if (VanishAfterReads != 0 && ReadCalls > VanishAfterReads) return Fail();
        for (const auto& [first, end] : BadBytes)
            if (Offset < end && first < Offset + Count) return Fail();
        if (Offset >= Bytes.size()) return 0;
        std::uint64_t n = std::min<std::uint64_t>(Count, Bytes.size() - Offset);
        if (MaxReadBytes != 0 && n > MaxReadBytes) {
            n = MaxReadBytes;
            ++ShortReads;
        }
        std::memcpy(Target, Bytes.data() + Offset, n);
        return static_cast<std::int64_t>(n);
    }

    bool DataExtent(THandle, std::uint64_t Offset, std::uint64_t& DataStart,
                    std::uint64_t& DataEnd) override {
        if (!ReportsExtents) return TSystemLayer::DataExtent(7, Offset, DataStart, DataEnd);
        for (const auto& [first, end] : DataExtents) {
            if (end <= Offset) continue;
            DataStart = std::max(first, Offset);
            DataEnd = end;
            return true;
        }
        DataStart = DataEnd = std::max<std::uint64_t>(Offset, Bytes.size());
        return true;
    }

    // Reports as holes the stretches of at least MinHole zero bytes (so the content is unchanged).
    void HolesFromZeros(std::uint64_t MinHole) {
        DataExtents.clear();
        ReportsExtents = true;
        std::uint64_t dataStart = 0, i = 0;
        const std::uint64_t n = Bytes.size();
        while (i < n) {
            if (Bytes[i] != '\0') {
                ++i;
                continue;
            }
            std::uint64_t j = i;
            while (j < n && Bytes[j] == '\0')
                ++j;
            if (j - i >= MinHole) {
                if (i > dataStart) DataExtents.emplace_back(dataStart, i);
                dataStart = j;
            }
            i = j;
        }
        if (n > dataStart) DataExtents.emplace_back(dataStart, n);
    }

  private:
    std::int64_t Fail() {
        ++FailedReads;
        return -1;
    }
};
