#include "disk/RawDiskAccess.h"

#include "disk/DriveProbe.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

std::string UpperAscii(std::string Text) {
    for (char& c : Text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return Text;
}

bool ContainsNoCase(const std::string& Text, const std::string& Part) {
    return UpperAscii(Text).find(UpperAscii(Part)) != std::string::npos;
}

// Halves go to the even neighbour, as the system's rounding of a quarter of the cluster does.
std::uint32_t QuarterRoundedToEven(std::uint32_t Value) {
    std::uint32_t q = Value / 4, r = Value % 4;
    if (r > 2 || (r == 2 && q % 2 == 1)) ++q;
    return q;
}

std::string DriveLetterOf(std::uint8_t Drive) {
    return std::string(1, static_cast<char>(Drive + 64));
}

void NameNT(TWinVersion& V, std::uint32_t Major, std::uint32_t Minor, bool HasExt,
            const TOSVersionInfoEx& Ext) {
    const unsigned pt = Ext.ProductType;
    const unsigned suite = Ext.SuiteMask;
    const bool workstation = HasExt && (pt & 1) == 1;
    const bool server = HasExt && (pt & 3) == 3;
    auto suiteBit = [&](unsigned bit) { return HasExt && (suite & bit) != 0; };

    if (Major == 3) {
        if (Minor == 0)
            V.Name = "Windows NT 3.0";
        else if (Minor == 1)
            V.Name = "Windows NT 3.1";
        else if (Minor == 5)
            V.Name = "Windows NT 3.5";
        else if (Minor == 51)
            V.Name = "Windows NT 3.51";
    } else if (Major == 4) {
        V.Name = "Windows NT 4.0";
        if (workstation) V.Name = "Windows NT 4.0 Workstation";
        if (server) V.Name = "Windows NT 4.0 Server";
        if (suiteBit(0x0004)) V.Name = "Windows NT 4.0 Server w/ BackOffice Server";
        if (suiteBit(0x0001)) V.Name = "Windows NT 4.0 Server w/ BackOffice Small-Business Server";
        if (suiteBit(0x0020))
            V.Name = "Windows NT 4.0 Server w/ BackOffice Small-Business Server (Rest.)";
    } else if (Major == 5 && Minor == 0) {
        V.Name = "Windows 2000";
        if (workstation) V.Name = "Windows 2000 Professional";
        if (server) V.Name = "Windows 2000 Server";
        if (suiteBit(0x0080)) V.Name = "Windows 2000 Datacenter Server";
        if (suiteBit(0x0002)) V.Name = "Windows 2000 Advanced Server";
    } else if (Major == 5 && Minor == 1) {
        V.Name = "Windows XP";
        if (workstation) V.Name = "Windows XP Professional";
        if (server) V.Name = "Windows 2003 Server";
        if (suiteBit(0x0200)) V.Name = "Windows XP Home Edition";
        if (suiteBit(0x0002)) V.Name = "Windows 2003 Enterprise Server";
    } else if (Major == 5 && Minor == 2) {
        V.Name = "Windows Server 2003";
        if (suiteBit(0x0400)) V.Name = "Windows Server 2003 Web Edition";
        if (suiteBit(0x0080)) V.Name = "Windows Server 2003 Datacenter Edition";
        if (suiteBit(0x0002)) V.Name = "Windows Server 2003 Enterprise Edition";
    } else if (Major == 5 && Minor >= 3 && Minor <= 9) {
        V.Name = "Future Windows Version";
    } else if (Major == 6) {
        V.Name = "Windows NT 6 Beta - \"Longhorn\"";
    } else if (Major >= 7 && Major <= 99) {
        V.Name = "Future Windows Version";
    }
}

void GetDriveInfoByLetter(TSystemLayer& System, const std::string& DrivePath, TDriveInfo& Info) {
    std::string root = DrivePath;
    if (root.size() == 1) root += ":\\";
    root = root.substr(0, 3);

    TDiskFreeSpace space;
    std::uint64_t totalBytes = 0;
    if (System.HasGetDiskFreeSpaceExA()) {
        if (!System.GetDiskFreeSpaceExA(root, totalBytes)) totalBytes = 0;
        if (!System.GetDiskFreeSpaceA(root, space)) space = {};
        Info.TotalBytes = static_cast<std::int64_t>(totalBytes);
        Info.FreeBytes = 0;
        Info.BytesPerSector = space.BytesPerSector;
        Info.SectorsPerCluster = space.SectorsPerCluster;
        Info.TotalClusters = space.TotalNumberOfClusters;
        Info.FreeClusters = space.NumberOfFreeClusters;
        // 9x reports FAT32 clusters of large volumes four times too big.
        if (GetOSFamily(System) == "9x" && Info.TotalBytes > 0x7FFFFFFF)
            Info.SectorsPerCluster = QuarterRoundedToEven(space.SectorsPerCluster);
        Info.BytesPerCluster = Info.SectorsPerCluster * Info.BytesPerSector;
        return;
    }
    if (!System.GetDiskFreeSpaceA(root, space)) space = {};
    const std::uint32_t cluster = space.SectorsPerCluster * space.BytesPerSector;
    Info.BytesPerCluster = cluster;
    Info.BytesPerSector = space.BytesPerSector;
    Info.SectorsPerCluster = space.SectorsPerCluster;
    Info.TotalClusters = space.TotalNumberOfClusters;
    Info.FreeClusters = space.NumberOfFreeClusters;
    Info.TotalBytes = static_cast<std::uint32_t>(cluster * space.TotalNumberOfClusters);
    Info.FreeBytes = static_cast<std::uint32_t>(cluster * space.NumberOfFreeClusters);
}

void GetDriveInfoByPath(TSystemLayer& System, const std::string& DrivePath, TDriveInfo& Info,
                        std::uint32_t ImageSectorSize) {
    Info = ProbeDrive(System, DrivePath, ImageSectorSize).Info;
}

// One request of the 9x path: the extended read first where the version allows it, INT 25h after.
bool ReadPiece9x(TSystemLayer& System, std::uint8_t Drive, std::uint32_t FirstSector,
                 std::uint16_t SectorCount, void* Target) {
    std::string name;
    try {
        name = GetWinVersion(System).Name;
    } catch (...) {
    }
    const auto address = [](const void* p) {
        return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
    };
    if (NameAllowsExtendedRead(name)) {
        TDiskIO packet;
        packet.StartSector = FirstSector;
        packet.Sectors = SectorCount;
        packet.Buffer = address(Target);
        TDiocRegisters regs;
        regs.reg_EAX = 0x7305;
        regs.reg_EBX = address(&packet);
        regs.reg_ECX = 0xFFFFFFFF;
        regs.reg_EDX = Drive;
        regs.reg_ESI = 0;
        regs.reg_Flags = 0;
        if (VWin32Request(System, win::VWin32DiocDosDriveInfo, regs, packet, Target) &&
            (regs.reg_Flags & win::CarryFlag) == 0)
            return true;
    }
    TDiskIO packet;
    packet.StartSector = FirstSector;
    packet.Sectors = SectorCount;
    packet.Buffer = address(Target);
    TDiocRegisters regs;
    regs.reg_EAX = static_cast<std::uint32_t>(Drive) - 1;
    regs.reg_EBX = address(&packet);
    regs.reg_ECX = 0xFFFFFFFF;
    regs.reg_Flags = 0;
    return VWin32Request(System, win::VWin32DiocDosInt25, regs, packet, Target) &&
           (regs.reg_Flags & win::CarryFlag) == 0;
}

} // namespace

std::string GetOSFamily(TSystemLayer& System) {
    TOSVersionInfo info;
    if (!System.GetVersionExA(info)) return "";
    switch (info.PlatformId) {
    case 0:
        return "Win32S";
    case 1:
        return "9x";
    case 2:
        return "NT";
    default:
        return "";
    }
}

std::string GetOSFamily() {
    return GetOSFamily(PlatformSystem());
}

TWinVersion GetWinVersion(TSystemLayer& System) {
    TWinVersion V;
    try {
        TOSVersionInfo info;
        if (!System.GetVersionExA(info)) return V;
        V.Major = info.MajorVersion;
        V.Minor = info.MinorVersion;
        const std::string csd(info.CSDVersion, strnlen(info.CSDVersion, sizeof info.CSDVersion));

        if (info.PlatformId == 0) {
            V.Name = "Windows 3.x + Win32";
        } else if (info.PlatformId == 1) {
            V.Family = "9x";
            if (V.Minor == 0 || V.Minor == 10 || V.Minor == 90) V.Build = info.BuildNumber & 0xFFFF;
            if (V.Minor == 0) {
                if (ContainsNoCase(csd, "C")) {
                    V.Name = "Windows 95 OSR2";
                    V.ServicePack.clear();
                }
                if (ContainsNoCase(csd, "B")) {
                    V.Name = "Windows 95";
                    V.ServicePack = "Service Pack 1";
                }
                if (!ContainsNoCase(csd, "C") && !ContainsNoCase(csd, "B")) {
                    V.Name = "Windows 95 Original";
                    V.ServicePack.clear();
                }
            } else if (V.Minor == 10) {
                V.Name = ContainsNoCase(csd, "A") ? "Windows 98 Second Edition" : "Windows 98";
                V.ServicePack.clear();
            } else if (V.Minor == 90) {
                V.Name = "Windows ME";
                V.ServicePack.clear();
            }
        } else if (info.PlatformId == 2) {
            V.Build = info.BuildNumber;
            V.ServicePack = csd;
            V.Family = "NT";
            TOSVersionInfoEx ext;
            const bool hasExt = System.GetVersionExA(ext);
            NameNT(V, V.Major, V.Minor, hasExt, ext);
        }
        if (!V.ServicePack.empty()) V.Name += " with " + V.ServicePack;
    } catch (...) {
        // Naming is best effort: whatever was filled in stands.
    }
    return V;
}

TWinVersion GetWinVersion() {
    return GetWinVersion(PlatformSystem());
}

bool NameAllowsExtendedRead(const std::string& Name) {
    return ContainsNoCase(Name, "95 OSR2") || ContainsNoCase(Name, "98") ||
           ContainsNoCase(Name, "ME");
}

void GetDriveInfo(TSystemLayer& System, const std::string& DrivePath, TDriveInfo& Info,
                  std::uint32_t ImageSectorSize) {
    if (DrivePath.empty()) return;
    if (System.UsesDriveLetters())
        GetDriveInfoByLetter(System, DrivePath, Info);
    else
        GetDriveInfoByPath(System, DrivePath, Info, ImageSectorSize);
}

TDriveInfo GetDriveInfo(TSystemLayer& System, const std::string& DrivePath) {
    TDriveInfo info;
    GetDriveInfo(System, DrivePath, info);
    return info;
}

TDriveInfo GetDriveInfo(const std::string& DrivePath) {
    return GetDriveInfo(PlatformSystem(), DrivePath);
}

bool ReadSectors(TSystemLayer& System, std::uint8_t Drive, std::uint64_t FirstSector,
                 std::uint64_t SectorCount, void* Target) {
    if (GetOSFamily(System) == "NT" &&
        ReadSectorsNT(System, Drive, FirstSector, SectorCount, Target))
        return true;
    if (GetOSFamily(System) == "9x")
        return ReadSectors9x(System, Drive, FirstSector, SectorCount, Target);
    return false;
}

bool ReadSectors(std::uint8_t Drive, std::uint64_t FirstSector, std::uint64_t SectorCount,
                 void* Target) {
    return ReadSectors(PlatformSystem(), Drive, FirstSector, SectorCount, Target);
}

bool ReadSectorsNT(TSystemLayer& System, std::uint8_t Drive, std::uint64_t FirstSector,
                   std::uint64_t SectorCount, void* Target) {
    const std::string letter = DriveLetterOf(Drive);
    const std::uint64_t sectorSize = GetDriveInfo(System, letter).BytesPerSector;
    if (sectorSize == 0) return false;
    constexpr std::uint64_t maxOffset = std::numeric_limits<std::int64_t>::max();
    if (SectorCount > maxOffset / sectorSize || FirstSector > maxOffset / sectorSize) return false;
    const std::uint64_t byteCount = sectorSize * SectorCount;

    const THandle handle = System.CreateFileA("\\\\.\\" + letter + ":", win::GenericRead,
                                              win::FileShareRead | win::FileShareWrite,
                                              win::OpenExisting, win::FileAttributeNormal);
    if (handle == InvalidHandle) return false;
    System.SetFilePointer(handle, static_cast<std::int64_t>(FirstSector * sectorSize));

    // One read per call, except for reads a single ReadFile cannot carry.
    constexpr std::uint64_t maxPiece = 1u << 30;
    auto* target = static_cast<char*>(Target);
    std::uint64_t done = 0;
    bool success = true;
    do {
        const auto piece = static_cast<std::uint32_t>(std::min(byteCount - done, maxPiece));
        std::uint32_t read = 0;
        if (!System.ReadFile(handle, target + done, piece, read) || read != piece) {
            success = false;
            break;
        }
        done += read;
    } while (done < byteCount);
    System.CloseHandle(handle);
    return success;
}

bool ReadSectors9x(TSystemLayer& System, std::uint8_t Drive, std::uint64_t FirstSector,
                   std::uint64_t SectorCount, void* Target) {
    constexpr std::uint64_t lastAddressable = 0xFFFFFFFFu;
    constexpr std::uint64_t maxPerRequest = 0xFFFF;
    if (FirstSector > lastAddressable) return false;
    if (SectorCount > 0 && SectorCount - 1 > lastAddressable - FirstSector) return false;

    // Only a split read needs the sector size, to find where each piece lands.
    std::uint64_t sectorSize = 0;
    if (SectorCount > maxPerRequest) {
        sectorSize = GetDriveInfo(System, DriveLetterOf(Drive)).BytesPerSector;
        if (sectorSize == 0) return false;
    }
    auto* target = static_cast<char*>(Target);
    std::uint64_t done = 0;
    do {
        const std::uint64_t piece = std::min(SectorCount - done, maxPerRequest);
        if (!ReadPiece9x(System, Drive, static_cast<std::uint32_t>(FirstSector + done),
                         static_cast<std::uint16_t>(piece), target + done * sectorSize))
            return false;
        done += piece;
    } while (done < SectorCount);
    return true;
}

bool VWin32Request(TSystemLayer& System, std::uint32_t ControlCode, TDiocRegisters& Registers,
                   const TDiskIO& Packet, void* Target) {
    if (!OpenVWin32(System)) return false;
    return System.DeviceIoControl(System.VWin32Handle, ControlCode, Registers, Packet, Target);
}

bool OpenVWin32(TSystemLayer& System) {
    if (System.VWin32Handle != 0 && System.VWin32Handle != InvalidHandle) return true;
    if (GetOSFamily(System) != "9x") return false;
    System.VWin32Handle = System.CreateFileA("\\\\.\\VWIN32", 0, 0, 0, win::FileFlagDeleteOnClose);
    return System.VWin32Handle != InvalidHandle;
}

bool ReadSectors(TSystemLayer& System, THandle Handle, std::uint32_t SectorSize,
                 std::uint64_t FirstSector, std::uint64_t SectorCount, void* Target) {
    if (SectorSize == 0 || Handle == InvalidHandle) return false;
    constexpr std::uint64_t maxOffset = std::numeric_limits<std::int64_t>::max();
    if (SectorCount > maxOffset / SectorSize || FirstSector > maxOffset / SectorSize) return false;
    const std::uint64_t byteCount = SectorCount * SectorSize;
    const std::uint64_t offset = FirstSector * SectorSize;
    if (byteCount > maxOffset - offset) return false;
    auto* target = static_cast<char*>(Target);
    std::uint64_t done = 0;
    while (done < byteCount) {
        const std::int64_t got =
            System.ReadAt(Handle, target + done, byteCount - done, offset + done);
        if (got <= 0) return false;
        done += static_cast<std::uint64_t>(got);
    }
    return true;
}

bool ReadSectors(TSystemLayer& System, const std::string& DrivePath, std::uint32_t SectorSize,
                 std::uint64_t FirstSector, std::uint64_t SectorCount, void* Target) {
    TOpenFailure failure;
    const THandle handle = System.OpenForReading(DrivePath, failure);
    if (handle == InvalidHandle) return false;
    const bool ok = ReadSectors(System, handle, SectorSize, FirstSector, SectorCount, Target);
    System.Close(handle);
    return ok;
}
