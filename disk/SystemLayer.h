#pragma once

// The one place where drive access meets the operating system. Everything above it (version
// naming, drive measuring, sector reading, drive listing, the disk buffer) is written once against
// this interface. The operations mirror the system calls they stand for, so the Windows layer is a
// thin wrapper, the Linux layer answers the path-based half, and a scripted fake can answer and
// record exactly what a test sets up.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A handle or file descriptor; InvalidHandle (-1) when an open failed.
using THandle = std::intptr_t;
inline constexpr THandle InvalidHandle = -1;

// The basic version block (size field 148).
struct TOSVersionInfo {
    std::uint32_t OSVersionInfoSize = 148;
    std::uint32_t MajorVersion = 0;
    std::uint32_t MinorVersion = 0;
    std::uint32_t BuildNumber = 0;
    std::uint32_t PlatformId = 0;
    char CSDVersion[128] = {};
};
static_assert(sizeof(TOSVersionInfo) == 148);

// The extended version block (size field 156); zeroed before it is asked for.
struct TOSVersionInfoEx {
    std::uint32_t OSVersionInfoSize = 156;
    std::uint32_t MajorVersion = 0;
    std::uint32_t MinorVersion = 0;
    std::uint32_t BuildNumber = 0;
    std::uint32_t PlatformId = 0;
    char CSDVersion[128] = {};
    std::uint16_t ServicePackMajor = 0;
    std::uint16_t ServicePackMinor = 0;
    std::uint16_t SuiteMask = 0;
    std::uint8_t ProductType = 0;
    std::uint8_t Reserved = 0;
};
static_assert(sizeof(TOSVersionInfoEx) == 156);

// What GetDiskFreeSpaceA reports for a root.
struct TDiskFreeSpace {
    std::uint32_t SectorsPerCluster = 0;
    std::uint32_t BytesPerSector = 0;
    std::uint32_t NumberOfFreeClusters = 0;
    std::uint32_t TotalNumberOfClusters = 0;
};

// The register block the VWIN32 device takes and gives back (28 bytes, little-endian fields).
struct TDiocRegisters {
    std::uint32_t reg_EBX = 0;
    std::uint32_t reg_EDX = 0;
    std::uint32_t reg_ECX = 0;
    std::uint32_t reg_EAX = 0;
    std::uint32_t reg_EDI = 0;
    std::uint32_t reg_ESI = 0;
    std::uint32_t reg_Flags = 0;
};
static_assert(sizeof(TDiocRegisters) == 28);

// The packet of an absolute disk read (10 bytes, packed).
#pragma pack(push, 1)
struct TDiskIO {
    std::uint32_t StartSector = 0;
    std::uint16_t Sectors = 0;
    std::uint32_t Buffer = 0;
};
#pragma pack(pop)
static_assert(sizeof(TDiskIO) == 10);

// Values the Win32 calls take, named apart from the system's own macros of the same meaning.
namespace win {
inline constexpr std::uint32_t GenericRead = 0x80000000u;
inline constexpr std::uint32_t FileShareRead = 0x1;
inline constexpr std::uint32_t FileShareWrite = 0x2;
inline constexpr std::uint32_t OpenExisting = 3;
inline constexpr std::uint32_t FileAttributeNormal = 0x80;
inline constexpr std::uint32_t FileFlagDeleteOnClose = 0x04000000u;
inline constexpr std::uint32_t SemFailCriticalErrors = 1;
inline constexpr std::uint32_t VWin32DiocDosInt25 = 2;
inline constexpr std::uint32_t VWin32DiocDosDriveInfo = 6;
inline constexpr std::uint32_t CarryFlag = 1;
} // namespace win

// What a path names, as far as the system can tell.
enum class TDriveKind { Unknown, ImageFile, BlockDevice, Folder, CharDevice, Fifo, Socket };

// Why an open by path failed: the cause the program names, what the path is where the system
// could still tell (a socket cannot be opened at all), and the system's own words.
enum class TOpenError { None, NotFound, AccessDenied, Other };
struct TOpenFailure {
    TOpenError Error = TOpenError::None;
    TDriveKind Kind = TDriveKind::Unknown;
    std::string Group; // the group that may read a device this user may not, when known
    std::string Text;
};

// What an open device or file is, and for a drive its logical sector size and size in bytes.
struct TDriveMeasure {
    TDriveKind Kind = TDriveKind::Unknown;
    std::uint32_t SectorSize = 0;
    std::uint64_t TotalBytes = 0;
};

class TSystemLayer {
  public:
    virtual ~TSystemLayer() = default;

    // True where drives are named by drive roots ("C:\") and measured and read through the volume
    // calls; false where a drive is a block device or an image file named by its path.
    virtual bool UsesDriveLetters() const = 0;

    // --- Version (GetVersionExA with the basic and with the extended block) ---
    virtual bool GetVersionExA(TOSVersionInfo& Info) = 0;
    virtual bool GetVersionExA(TOSVersionInfoEx& Info) = 0;

    // --- Free-space queries ---
    // Whether kernel32 offers GetDiskFreeSpaceExA (GetModuleHandleA + GetProcAddress).
    virtual bool HasGetDiskFreeSpaceExA() = 0;
    virtual bool GetDiskFreeSpaceExA(const std::string& Root, std::uint64_t& TotalBytes) = 0;
    virtual bool GetDiskFreeSpaceA(const std::string& Root, TDiskFreeSpace& Answer) = 0;

    // --- Volumes and devices: CreateFileA, SetFilePointer, ReadFile, CloseHandle ---
    virtual THandle CreateFileA(const std::string& Path, std::uint32_t DesiredAccess,
                                std::uint32_t ShareMode, std::uint32_t CreationDisposition,
                                std::uint32_t FlagsAndAttributes) = 0;
    virtual bool SetFilePointer(THandle Handle, std::int64_t Offset) = 0;
    virtual bool ReadFile(THandle Handle, void* Target, std::uint32_t Count,
                          std::uint32_t& BytesRead) = 0;
    virtual void CloseHandle(THandle Handle) = 0;

    // DeviceIoControl on the VWIN32 device with the register block as input and output. The
    // registers carry the 32-bit addresses of Packet and of Target, which only a 32-bit process can
    // follow; the real device reads them through the registers, a fake through the references.
    virtual bool DeviceIoControl(THandle Device, std::uint32_t ControlCode,
                                 TDiocRegisters& Registers, const TDiskIO& Packet,
                                 void* Target) = 0;

    // --- Drive list, current directory, error mode ---
    // Fills Buffer (Length bytes) with the zero-separated drive roots; returns the length of the
    // list, 0 on failure, more than Length when the list does not fit.
    virtual std::uint32_t GetLogicalDriveStringsA(std::uint32_t Length, char* Buffer) = 0;
    virtual std::uint32_t SetErrorMode(std::uint32_t Mode) = 0;
    virtual bool GetCurrentDirectoryA(std::string& Directory) = 0;
    virtual bool SetCurrentDirectoryA(const std::string& Directory) = 0;
    // The system's text for an error code.
    virtual std::string SysErrorMessage(std::uint32_t Code) = 0;

    // The system's own 8-bit upper-casing (CharUpperBuffA), applied in place to all 256 bytes.
    // False where the platform has none; the buffer is then unchanged.
    virtual bool UpperCase(unsigned char (&Bytes)[256]) = 0;

    // --- Block devices and image files named by path ---
    virtual THandle OpenForReading(const std::string& Path, TOpenFailure& Failure) = 0;
    // What an open handle is; the sector size and size only for an image file or block device.
    virtual TDriveMeasure MeasureDrive(THandle Handle) = 0;
    // One positioned read (pread): bytes read, 0 at the end, -1 on failure.
    virtual std::int64_t ReadAt(THandle Handle, void* Target, std::uint64_t Count,
                                std::uint64_t Offset) = 0;
    virtual void Close(THandle Handle) = 0;
    // Sparse images: the stretch of data [DataStart, DataEnd) holding Offset or, when Offset lies
    // in a hole, the first one after it (DataStart = DataEnd = the end when only a hole follows).
    // Holes read as zeros. False when the layer cannot tell; then everything counts as data.
    virtual bool DataExtent(THandle Handle, std::uint64_t Offset, std::uint64_t& DataStart,
                            std::uint64_t& DataEnd) {
        (void)Handle;
        (void)Offset;
        DataStart = DataEnd = 0;
        return false;
    }
    // --- Scratch files: the program's own data, too much to hold in memory ---
    // A new empty file in the system's temporary folder, readable and writable by this process
    // alone and gone once it is closed (or the process ends); Folder names the folder. On failure
    // InvalidHandle, with the folder and the system's words in Error. It is read with ReadAt and
    // closed with Close.
    virtual THandle CreateScratchFile(std::string& Folder, std::string& Error) = 0;
    // Writes all Count bytes at Offset; false, with the system's words in Error, when they could
    // not all be written (a full disk above all).
    virtual bool WriteAt(THandle Handle, const void* Data, std::uint64_t Count,
                         std::uint64_t Offset, std::string& Error) = 0;

    // Hands the memory the program freed but its allocator still holds back to the system (after a
    // list of a million messages made way for a smaller one). Only a hint.
    virtual void ReleaseFreeMemory() {}
    // Tells the system that the fresh block [Start, Start + Size) will be filled soon and kept: it
    // may back it with large pages, which on a mail-dense disk saves a hundred thousand page
    // faults a gigabyte (each costly, the more so in a virtual machine). Only a hint.
    virtual void AdviseLargePages(void* Start, std::size_t Size) {
        (void)Start;
        (void)Size;
    }

    // Paths of the whole disks and partitions the system knows (on Linux, from /sys/class/block),
    // in no particular order.
    virtual std::vector<std::string> BlockDevices() = 0;

    // The VWIN32 device handle, opened by the first 9x request and kept for the life of the layer
    // (the platform's layer lives as long as the process).
    THandle VWin32Handle = 0;
};

// The running system's layer; it lives for the whole process.
TSystemLayer& PlatformSystem();
