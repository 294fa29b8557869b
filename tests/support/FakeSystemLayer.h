#pragma once

// A scripted system layer for tests: it answers exactly what a test sets up (version blocks,
// volumes, drive lists, images) and records every call it gets. Each drive has fault switches:
// reads that fail over chosen byte ranges, reads cut short, a device that vanishes after a number
// of reads, an image cut shorter while it is read, and holes a sparse image would report.
// TFaultySystem is the same layer holding one image of its own, for the scan's fault tests.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "disk/SystemLayer.h"

// Byte of the fake drives' default content at a byte offset: differs between neighbouring bytes
// and between sectors, so a misplaced copy shows.
inline char FakeByte(std::uint64_t Offset) {
    return static_cast<char>((Offset * 7 + Offset / 512 * 13 + 1) & 0xFF);
}

struct TFakeDrive {
    std::uint64_t Size = 0;
    std::string Bytes;              // the content when not empty (its size is the drive's size);
                                    // FakeByte over Size bytes otherwise
    std::uint32_t SectorSize = 512; // as a block device reports it
    TDriveKind Kind = TDriveKind::ImageFile;
    bool Measurable = true; // false: a drive the layer cannot tell anything about

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

    std::uint64_t Length() const { return Bytes.empty() ? Size : Bytes.size(); }
    char At(std::uint64_t Offset) const {
        return Bytes.empty() ? FakeByte(Offset) : Bytes[static_cast<std::size_t>(Offset)];
    }
    bool Fails(std::uint64_t Offset, std::uint64_t Count) const {
        for (const auto& [first, end] : BadBytes)
            if (Offset < end && first < Offset + Count) return true;
        return false;
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
};

struct TRead {
    std::uint64_t Offset;
    std::uint64_t Count;
    bool operator==(const TRead&) const = default;
};

struct TDeviceCall {
    THandle Device;
    std::uint32_t ControlCode;
    TDiocRegisters Registers; // as sent
    TDiskIO Packet;
};

class TFakeSystem : public TSystemLayer {
  public:
    // --- what the test sets up ---
    bool DriveLetters = true;
    bool VersionAnswers = true;
    TOSVersionInfo Version; // basic block; the extended block repeats its numbers
    bool ExtendedAnswers = true;
    std::uint8_t ProductType = 0;
    std::uint16_t SuiteMask = 0;
    bool HasFreeSpaceEx = true;
    std::map<std::string, std::uint64_t> TotalBytes; // by root, for GetDiskFreeSpaceExA
    std::map<std::string, TDiskFreeSpace> FreeSpace; // by root, for GetDiskFreeSpaceA
    std::map<std::string, TFakeDrive> Drives;        // by path ("\\.\C:", "/dev/sda", image)
    std::set<std::string> DeniedPaths;               // open fails: permission denied
    std::map<std::string, TOpenFailure> FailedOpens; // open fails as scripted
    bool VWin32Opens = true;
    // Answer of the VWIN32 device; by default it serves the packet's sectors from drive "\\.\C:".
    std::function<bool(std::uint32_t, TDiocRegisters&, const TDiskIO&, void*)> Device;
    std::string DriveStrings; // zero-separated roots, as GetLogicalDriveStringsA returns them
    std::set<std::string> EnterableRoots;
    std::string WorkDirectory = "C:\\Work"; // the directory the process starts in
    std::string CurrentDirectory = WorkDirectory;
    bool CanReturn = true; // whether WorkDirectory can be entered again
    std::uint32_t ErrorMode = 0;
    std::vector<std::string> BlockDeviceList;
    // Scratch files: whether one can be made, and how many bytes all of them may hold together
    // before a write fails as on a full disk.
    bool ScratchRefused = false;
    std::uint64_t ScratchRoom = UINT64_MAX;

    // --- what was asked ---
    std::vector<std::string> Calls;
    std::vector<TRead> Reads; // ReadAt and ReadFile, in byte offsets and counts
    std::vector<TDeviceCall> DeviceCalls;
    int OpenHandles = 0;
    std::uint64_t ReadCalls = 0; // reads of drives (ReadAt and ReadFile)
    std::uint64_t FailedReads = 0;
    std::uint64_t ShortReads = 0;
    std::uint64_t LowestOffsetRead = UINT64_MAX;

    static std::string Root(char Letter) { return std::string(1, Letter) + ":\\"; }

    // --- the layer ---
    bool UsesDriveLetters() const override { return DriveLetters; }

    bool GetVersionExA(TOSVersionInfo& Info) override {
        Calls.push_back("GetVersionExA(" + std::to_string(Info.OSVersionInfoSize) + ")");
        if (!VersionAnswers) return false;
        Info = Version;
        return true;
    }
    bool GetVersionExA(TOSVersionInfoEx& Info) override {
        Calls.push_back("GetVersionExA(" + std::to_string(Info.OSVersionInfoSize) + ")");
        if (!ExtendedAnswers) return false;
        Info.MajorVersion = Version.MajorVersion;
        Info.MinorVersion = Version.MinorVersion;
        Info.BuildNumber = Version.BuildNumber;
        Info.PlatformId = Version.PlatformId;
        std::memcpy(Info.CSDVersion, Version.CSDVersion, sizeof Info.CSDVersion);
        Info.ProductType = ProductType;
        Info.SuiteMask = SuiteMask;
        return true;
    }

    bool HasGetDiskFreeSpaceExA() override {
        Calls.push_back("GetProcAddress(GetDiskFreeSpaceExA)");
        return HasFreeSpaceEx;
    }
    bool GetDiskFreeSpaceExA(const std::string& Root, std::uint64_t& Total) override {
        Calls.push_back("GetDiskFreeSpaceExA(" + Root + ")");
        auto it = TotalBytes.find(Upper(Root));
        if (it == TotalBytes.end()) return false;
        Total = it->second;
        return true;
    }
    bool GetDiskFreeSpaceA(const std::string& Root, TDiskFreeSpace& Answer) override {
        Calls.push_back("GetDiskFreeSpaceA(" + Root + ")");
        auto it = FreeSpace.find(Upper(Root));
        if (it == FreeSpace.end()) return false;
        Answer = it->second;
        return true;
    }

    THandle CreateFileA(const std::string& Path, std::uint32_t Access, std::uint32_t Share,
                        std::uint32_t Disposition, std::uint32_t Flags) override {
        char text[128];
        std::snprintf(text, sizeof text, ",%x,%x,%x,%x)", Access, Share, Disposition, Flags);
        Calls.push_back("CreateFileA(" + Path + text);
        if (Path == "\\\\.\\VWIN32") return VWin32Opens ? Open(Path) : InvalidHandle;
        if (!Find(Path) || DeniedPaths.count(Path)) return InvalidHandle;
        return Open(Path);
    }
    bool SetFilePointer(THandle Handle, std::int64_t Offset) override {
        Calls.push_back("SetFilePointer(" + std::to_string(Offset) + ")");
        Positions[Handle] = static_cast<std::uint64_t>(Offset);
        return true;
    }
    bool ReadFile(THandle Handle, void* Target, std::uint32_t Count,
                  std::uint32_t& BytesRead) override {
        Calls.push_back("ReadFile(" + std::to_string(Count) + ")");
        const std::int64_t got = Serve(Handle, Target, Count, Positions[Handle]);
        if (got < 0) return false;
        BytesRead = static_cast<std::uint32_t>(got);
        Positions[Handle] += BytesRead;
        return true;
    }
    void CloseHandle(THandle Handle) override {
        Calls.push_back("CloseHandle");
        CloseOpen(Handle);
    }
    bool DeviceIoControl(THandle Handle, std::uint32_t Code, TDiocRegisters& Registers,
                         const TDiskIO& Packet, void* Target) override {
        Calls.push_back("DeviceIoControl(" + std::to_string(Code) + ")");
        DeviceCalls.push_back({Handle, Code, Registers, Packet});
        if (Device) return Device(Code, Registers, Packet, Target);
        const TFakeDrive& drive = Drives["\\\\.\\C:"];
        for (std::uint64_t i = 0; i < std::uint64_t{Packet.Sectors} * 512; ++i)
            static_cast<char*>(Target)[i] = drive.At(std::uint64_t{Packet.StartSector} * 512 + i);
        return true;
    }

    std::uint32_t GetLogicalDriveStringsA(std::uint32_t Length, char* Buffer) override {
        Calls.push_back("GetLogicalDriveStringsA(" + std::to_string(Length) + ")");
        if (DriveStrings.empty()) return 0;
        const std::string list = DriveStrings + '\0';
        if (list.size() > Length) return static_cast<std::uint32_t>(list.size());
        std::memcpy(Buffer, list.data(), list.size());
        return static_cast<std::uint32_t>(list.size() - 1);
    }
    std::uint32_t SetErrorMode(std::uint32_t Mode) override {
        Calls.push_back("SetErrorMode(" + std::to_string(Mode) + ")");
        return std::exchange(ErrorMode, Mode);
    }
    bool GetCurrentDirectoryA(std::string& Directory) override {
        Directory = CurrentDirectory;
        return true;
    }
    bool SetCurrentDirectoryA(const std::string& Directory) override {
        Calls.push_back("SetCurrentDirectoryA(" + Directory + ")");
        const bool enterable =
            EnterableRoots.count(Directory) || (Directory == WorkDirectory && CanReturn);
        if (!enterable) return false;
        CurrentDirectory = Directory;
        return true;
    }
    std::string SysErrorMessage(std::uint32_t Code) override {
        return "system error " + std::to_string(Code);
    }

    bool UpperCase(unsigned char (&)[256]) override { return false; }

    THandle OpenForReading(const std::string& Path, TOpenFailure& Failure) override {
        Calls.push_back("Open(" + Path + ")");
        Failure = {};
        if (const auto it = FailedOpens.find(Path); it != FailedOpens.end()) {
            Failure = it->second;
            return InvalidHandle;
        }
        if (DeniedPaths.count(Path)) {
            Failure.Error = TOpenError::AccessDenied;
            return InvalidHandle;
        }
        if (!Find(Path)) {
            Failure.Error = TOpenError::NotFound;
            return InvalidHandle;
        }
        return Open(Path);
    }
    TDriveMeasure MeasureDrive(THandle Handle) override {
        const TFakeDrive& drive = *Find(Opened.at(Handle));
        if (!drive.Measurable) return {};
        return {drive.Kind, drive.SectorSize, drive.Length()};
    }
    std::int64_t ReadAt(THandle Handle, void* Target, std::uint64_t Count,
                        std::uint64_t Offset) override {
        if (const auto it = Scratch.find(Handle); it != Scratch.end()) {
            const std::string& bytes = it->second;
            if (Offset >= bytes.size()) return 0;
            const std::size_t n = std::min<std::size_t>(Count, bytes.size() - Offset);
            std::memcpy(Target, bytes.data() + Offset, n);
            return static_cast<std::int64_t>(n);
        }
        return Serve(Handle, Target, Count, Offset);
    }
    void Close(THandle Handle) override {
        if (Scratch.erase(Handle)) {
            --OpenScratchFiles;
            return;
        }
        Calls.push_back("Close");
        CloseOpen(Handle);
    }
    THandle CreateScratchFile(std::string& Folder, std::string& Error) override {
        Folder = "/fake-tmp";
        if (ScratchRefused) {
            Error = "/fake-tmp: Permission denied";
            return InvalidHandle;
        }
        const THandle handle = NextScratch++;
        Scratch[handle];
        ++OpenScratchFiles;
        return handle;
    }
    bool WriteAt(THandle Handle, const void* Data, std::uint64_t Count, std::uint64_t Offset,
                 std::string& Error) override {
        const auto it = Scratch.find(Handle);
        if (it == Scratch.end() || Count > ScratchRoom) {
            Error = "No space left on device";
            return false;
        }
        ScratchRoom -= Count;
        std::string& bytes = it->second;
        if (bytes.size() < Offset + Count) bytes.resize(Offset + Count);
        std::memcpy(bytes.data() + Offset, Data, Count);
        return true;
    }
    int OpenScratchFiles = 0;
    bool DataExtent(THandle Handle, std::uint64_t Offset, std::uint64_t& DataStart,
                    std::uint64_t& DataEnd) override {
        const auto it = Opened.find(Handle);
        const TFakeDrive* drive = it == Opened.end() ? nullptr : Find(it->second);
        if (!drive || !drive->ReportsExtents)
            return TSystemLayer::DataExtent(Handle, Offset, DataStart, DataEnd);
        for (const auto& [first, end] : drive->DataExtents) {
            if (end <= Offset) continue;
            DataStart = std::max(first, Offset);
            DataEnd = end;
            return true;
        }
        DataStart = DataEnd = std::max<std::uint64_t>(Offset, drive->Length());
        return true;
    }
    std::vector<std::string> BlockDevices() override { return BlockDeviceList; }

    // Adds a drive whose content is FakeByte, of Size bytes.
    TFakeDrive& AddDrive(const std::string& Path, std::uint64_t Size) {
        TFakeDrive& drive = Drives[Path];
        drive.Size = Size;
        return drive;
    }

  protected:
    // The drive a path names, or null.
    virtual TFakeDrive* Find(const std::string& Path) {
        const auto it = Drives.find(Path);
        return it == Drives.end() ? nullptr : &it->second;
    }

  private:
    // Drive letters are the same in either case.
    static std::string Upper(std::string Root) {
        if (!Root.empty() && Root[0] >= 'a' && Root[0] <= 'z')
            Root[0] = static_cast<char>(Root[0] - 32);
        return Root;
    }

    THandle Open(const std::string& Path) {
        const THandle handle = NextHandle++;
        Opened[handle] = Path;
        ++OpenHandles;
        return handle;
    }
    void CloseOpen(THandle Handle) {
        if (Opened.erase(Handle)) --OpenHandles;
    }
    std::int64_t Serve(THandle Handle, void* Target, std::uint64_t Count, std::uint64_t Offset) {
        Reads.push_back({Offset, Count});
        ++ReadCalls;
        LowestOffsetRead = std::min(LowestOffsetRead, Offset);
        const auto it = Opened.find(Handle);
        if (it == Opened.end()) return Fail();
        TFakeDrive& drive = *Find(it->second);
        if (drive.TruncateAfterReads != 0 && ReadCalls > drive.TruncateAfterReads &&
            drive.Bytes.size() > drive.TruncateTo)
            drive.Bytes.resize(drive.TruncateTo);
        if (drive.VanishAfterReads != 0 && ReadCalls > drive.VanishAfterReads) return Fail();
        if (drive.Fails(Offset, Count)) return Fail();
        if (Offset >= drive.Length()) return 0;
        std::uint64_t n = std::min(Count, drive.Length() - Offset);
        if (drive.MaxReadBytes != 0 && n > drive.MaxReadBytes) {
            n = drive.MaxReadBytes;
            ++ShortReads;
        }
        auto* target = static_cast<char*>(Target);
        if (!drive.Bytes.empty()) {
            std::memcpy(target, drive.Bytes.data() + Offset, n);
        } else {
            for (std::uint64_t i = 0; i < n; ++i)
                target[i] = FakeByte(Offset + i);
        }
        return static_cast<std::int64_t>(n);
    }
    std::int64_t Fail() {
        ++FailedReads;
        return -1;
    }

    THandle NextHandle = 3;
    THandle NextScratch = 1 << 20;
    std::map<THandle, std::string> Scratch;
    std::map<THandle, std::string> Opened;
    std::map<THandle, std::uint64_t> Positions;
};

// One image of its own at Path, its content and fault switches at hand (System.Bytes,
// System.BadBytes, ...): what the scan's fault and sparse tests and the fuzz target drive.
class TFaultySystem final : public TFakeDrive, public TFakeSystem {
  public:
    std::string Path = "/faulty.img";

    TFaultySystem() { DriveLetters = false; }

  protected:
    TFakeDrive* Find(const std::string& P) override { return P == Path ? this : nullptr; }
};
