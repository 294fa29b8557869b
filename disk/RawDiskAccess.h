#pragma once

// Drive information, operating-system version naming and the raw sector reader. Plain functions
// over a system layer; each has a form for the running system's layer. None of them throws: a
// failed query answers zeros or empty texts, a failed read answers false.

#include <cstdint>
#include <string>

#include "disk/DriveInfo.h"
#include "disk/SystemLayer.h"

struct TWinVersion {
    std::string Name;
    std::string Family;
    std::string ServicePack;
    std::uint32_t Major = 0;
    std::uint32_t Minor = 0;
    std::uint32_t Build = 0;
};

// "NT", "9x", "Win32S", or empty.
std::string GetOSFamily(TSystemLayer& System);
std::string GetOSFamily();

TWinVersion GetWinVersion(TSystemLayer& System);
TWinVersion GetWinVersion();

// Whether a version name selects the FAT32-aware extended read on the 9x family.
bool NameAllowsExtendedRead(const std::string& Name);

// Measures a drive. With drive letters: a letter ("C"), a root ("C:\", "C:") or any longer path on
// the drive; an empty path leaves Info as it was. Otherwise: a block device or image path, whose
// sector size is ImageSectorSize when that is not 0 (images only; devices report their own).
// Fields that could not be measured stay 0.
void GetDriveInfo(TSystemLayer& System, const std::string& DrivePath, TDriveInfo& Info,
                  std::uint32_t ImageSectorSize = 0);
TDriveInfo GetDriveInfo(TSystemLayer& System, const std::string& DrivePath);
TDriveInfo GetDriveInfo(const std::string& DrivePath);

// Reads SectorCount sectors from FirstSector of drive number Drive (1 = A, 3 = C) into Target,
// choosing the path by the family. True only when every byte was read.
bool ReadSectors(TSystemLayer& System, std::uint8_t Drive, std::uint64_t FirstSector,
                 std::uint64_t SectorCount, void* Target);
bool ReadSectors(std::uint8_t Drive, std::uint64_t FirstSector, std::uint64_t SectorCount,
                 void* Target);
bool ReadSectorsNT(TSystemLayer& System, std::uint8_t Drive, std::uint64_t FirstSector,
                   std::uint64_t SectorCount, void* Target);
// Splits counts above 65 535 into requests the packet can carry; refuses sectors beyond 2^32 - 1.
bool ReadSectors9x(TSystemLayer& System, std::uint8_t Drive, std::uint64_t FirstSector,
                   std::uint64_t SectorCount, void* Target);
bool VWin32Request(TSystemLayer& System, std::uint32_t ControlCode, TDiocRegisters& Registers,
                   const TDiskIO& Packet, void* Target);
bool OpenVWin32(TSystemLayer& System);

// The path form: reads SectorCount sectors of SectorSize bytes from FirstSector of an open device
// or image, with positioned reads at 64-bit offsets. True only when every byte was read.
bool ReadSectors(TSystemLayer& System, THandle Handle, std::uint32_t SectorSize,
                 std::uint64_t FirstSector, std::uint64_t SectorCount, void* Target);
// Same, opening and closing DrivePath around the read.
bool ReadSectors(TSystemLayer& System, const std::string& DrivePath, std::uint32_t SectorSize,
                 std::uint64_t FirstSector, std::uint64_t SectorCount, void* Target);
