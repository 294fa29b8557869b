// The system layer on Windows: each operation is the Win32 call it is named after.

#include "disk/SystemLayer.h"
#include "disk/Waiting.h"

#include <algorithm>
#include <iterator>
#include <string>

#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

namespace {

HANDLE AsHandle(THandle Handle) {
    return reinterpret_cast<HANDLE>(Handle);
}
THandle FromHandle(HANDLE Handle) {
    return reinterpret_cast<THandle>(Handle);
}
std::string Utf8(const wchar_t* Text) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, Text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, Text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n) - 1);
    return out;
}

// The native positioned read under ReadFile. ReadFile given an OVERLAPPED for its offset also
// posts a completion for the handle, and under Wine each such post is a round trip to its server,
// one per slice the scan reads; called directly with no completion context, the read is the read
// alone. Looked up once; null where the system has none, and ReadFile serves instead.
using TNtReadFile = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK,
                                     PVOID, ULONG, PLARGE_INTEGER, PULONG);
TNtReadFile NativeReadFile() {
    static const TNtReadFile read = [] {
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        if (ntdll == nullptr) return TNtReadFile{};
        // Through a plain pointer, as GetProcAddress's own type matches no real function.
        return reinterpret_cast<TNtReadFile>(
            reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtReadFile")));
    }();
    return read;
}

constexpr NTSTATUS StatusPending = 0x00000103;
constexpr NTSTATUS StatusEndOfFile = static_cast<NTSTATUS>(0xC0000011);
constexpr NTSTATUS StatusUnsuccessful = static_cast<NTSTATUS>(0xC0000001);

class TWindowsSystem final : public TSystemLayer {
  public:
    bool UsesDriveLetters() const override { return true; }

    bool GetVersionExA(TOSVersionInfo& Info) override {
        OSVERSIONINFOA block{};
        block.dwOSVersionInfoSize = sizeof block;
        if (!::GetVersionExA(&block)) return false;
        Info.MajorVersion = block.dwMajorVersion;
        Info.MinorVersion = block.dwMinorVersion;
        Info.BuildNumber = block.dwBuildNumber;
        Info.PlatformId = block.dwPlatformId;
        std::copy(std::begin(block.szCSDVersion), std::end(block.szCSDVersion), Info.CSDVersion);
        return true;
    }

    bool GetVersionExA(TOSVersionInfoEx& Info) override {
        OSVERSIONINFOEXA block{};
        block.dwOSVersionInfoSize = sizeof block;
        if (!::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&block))) return false;
        Info.MajorVersion = block.dwMajorVersion;
        Info.MinorVersion = block.dwMinorVersion;
        Info.BuildNumber = block.dwBuildNumber;
        Info.PlatformId = block.dwPlatformId;
        std::copy(std::begin(block.szCSDVersion), std::end(block.szCSDVersion), Info.CSDVersion);
        Info.ServicePackMajor = block.wServicePackMajor;
        Info.ServicePackMinor = block.wServicePackMinor;
        Info.SuiteMask = block.wSuiteMask;
        Info.ProductType = block.wProductType;
        return true;
    }

    bool HasGetDiskFreeSpaceExA() override {
        const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
        return kernel != nullptr && ::GetProcAddress(kernel, "GetDiskFreeSpaceExA") != nullptr;
    }

    bool GetDiskFreeSpaceExA(const std::string& Root, std::uint64_t& TotalBytes) override {
        ULARGE_INTEGER available{}, total{}, free{};
        if (!::GetDiskFreeSpaceExA(Root.c_str(), &available, &total, &free)) return false;
        TotalBytes = total.QuadPart;
        return true;
    }

    bool GetDiskFreeSpaceA(const std::string& Root, TDiskFreeSpace& Answer) override {
        DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
        if (!::GetDiskFreeSpaceA(Root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                                 &totalClusters))
            return false;
        Answer = {sectorsPerCluster, bytesPerSector, freeClusters, totalClusters};
        return true;
    }

    THandle CreateFileA(const std::string& Path, std::uint32_t DesiredAccess,
                        std::uint32_t ShareMode, std::uint32_t CreationDisposition,
                        std::uint32_t FlagsAndAttributes) override {
        return FromHandle(::CreateFileA(Path.c_str(), DesiredAccess, ShareMode, nullptr,
                                        CreationDisposition, FlagsAndAttributes, nullptr));
    }

    bool SetFilePointer(THandle Handle, std::int64_t Offset) override {
        LONG high = static_cast<LONG>(Offset >> 32);
        const DWORD low = ::SetFilePointer(AsHandle(Handle), static_cast<LONG>(Offset & 0xFFFFFFFF),
                                           &high, FILE_BEGIN);
        return low != INVALID_SET_FILE_POINTER || ::GetLastError() == NO_ERROR;
    }

    bool ReadFile(THandle Handle, void* Target, std::uint32_t Count,
                  std::uint32_t& BytesRead) override {
        DWORD read = 0;
        const BOOL ok = ::ReadFile(AsHandle(Handle), Target, Count, &read, nullptr);
        BytesRead = read;
        return ok != 0;
    }

    void CloseHandle(THandle Handle) override { ::CloseHandle(AsHandle(Handle)); }

    bool DeviceIoControl(THandle Device, std::uint32_t ControlCode, TDiocRegisters& Registers,
                         const TDiskIO&, void*) override {
        DWORD returned = 0;
        return ::DeviceIoControl(AsHandle(Device), ControlCode, &Registers, sizeof Registers,
                                 &Registers, sizeof Registers, &returned, nullptr) != 0;
    }

    std::uint32_t GetLogicalDriveStringsA(std::uint32_t Length, char* Buffer) override {
        return ::GetLogicalDriveStringsA(Length, Buffer);
    }

    std::uint32_t SetErrorMode(std::uint32_t Mode) override { return ::SetErrorMode(Mode); }

    bool GetCurrentDirectoryA(std::string& Directory) override {
        const DWORD needed = ::GetCurrentDirectoryA(0, nullptr);
        if (needed == 0) return false;
        std::string text(needed, '\0');
        const DWORD length = ::GetCurrentDirectoryA(needed, text.data());
        if (length == 0 || length >= needed) return false;
        text.resize(length);
        Directory = text;
        return true;
    }

    bool SetCurrentDirectoryA(const std::string& Directory) override {
        return ::SetCurrentDirectoryA(Directory.c_str()) != 0;
    }

    std::string SysErrorMessage(std::uint32_t Code) override {
        char text[512] = {};
        const DWORD length =
            ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             Code, 0, text, sizeof text, nullptr);
        std::string message(text, length);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                    message.back() == ' ' || message.back() == '.'))
            message.pop_back();
        return message;
    }

    // CharUpperBuffA as it is made: the code page's characters upper-cased as the user's locale
    // does, and back. Called through the locale functions of kernel32 rather than through user32,
    // which the command-line scanner would load for this alone: under Wine loading user32 sets
    // up the window system, a tenth of a second of every start.
    bool UpperCase(unsigned char (&Bytes)[256]) override {
        // Byte 0 included: the length is given, the text is not a terminated string.
        const auto* text = reinterpret_cast<LPCCH>(Bytes);
        const int length = ::MultiByteToWideChar(CP_ACP, 0, text, 256, nullptr, 0);
        if (length <= 0) return false;
        std::wstring wide(static_cast<std::size_t>(length), L'\0');
        if (::MultiByteToWideChar(CP_ACP, 0, text, 256, wide.data(), length) != length ||
            ::LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_UPPERCASE, wide.data(), length, wide.data(),
                           length) != length)
            return false;
        unsigned char upper[256];
        std::copy(std::begin(Bytes), std::end(Bytes), upper);
        if (::WideCharToMultiByte(CP_ACP, 0, wide.data(), length, reinterpret_cast<LPSTR>(upper),
                                  256, nullptr, nullptr) <= 0)
            return false;
        std::copy(std::begin(upper), std::end(upper), Bytes);
        return true;
    }

    // Directories open too (backup semantics), so that they are refused as folders rather than
    // as a permission problem.
    THandle OpenForReading(const std::string& Path, TOpenFailure& Failure) override {
        Failure = {};
        // A scan reads front to back: the cache may read ahead further. Only a hint.
        const HANDLE handle = ::CreateFileA(
            Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handle != INVALID_HANDLE_VALUE) return FromHandle(handle);
        const DWORD code = ::GetLastError();
        Failure.Text = SysErrorMessage(code);
        switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            Failure.Error = TOpenError::NotFound;
            break;
        case ERROR_ACCESS_DENIED:
            Failure.Error = TOpenError::AccessDenied;
            break;
        default:
            Failure.Error = TOpenError::Other;
        }
        return InvalidHandle;
    }

    // Devices named by path (\\.\PhysicalDrive0, \\.\C:) by their geometry, image files by
    // their size; drive roots are measured through the free-space queries.
    TDriveMeasure MeasureDrive(THandle Handle) override {
        TDriveMeasure m;
        // The length, not the geometry's size: for a volume that is the partition's own.
        DISK_GEOMETRY geometry{};
        GET_LENGTH_INFORMATION length{};
        DWORD returned = 0;
        if (::DeviceIoControl(AsHandle(Handle), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0,
                              &geometry, sizeof geometry, &returned, nullptr) &&
            geometry.BytesPerSector != 0 &&
            ::DeviceIoControl(AsHandle(Handle), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                              sizeof length, &returned, nullptr)) {
            m.Kind = TDriveKind::BlockDevice;
            m.SectorSize = geometry.BytesPerSector;
            m.TotalBytes = static_cast<std::uint64_t>(length.Length.QuadPart);
            return m;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        LARGE_INTEGER size{};
        switch (::GetFileType(AsHandle(Handle))) {
        case FILE_TYPE_CHAR:
            m.Kind = TDriveKind::CharDevice;
            return m;
        case FILE_TYPE_PIPE:
            m.Kind = TDriveKind::Fifo;
            return m;
        case FILE_TYPE_DISK:
            break;
        default:
            return m;
        }
        if (!::GetFileInformationByHandle(AsHandle(Handle), &info)) return m;
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            m.Kind = TDriveKind::Folder;
            return m;
        }
        m.Kind = TDriveKind::ImageFile;
        if (!::GetFileSizeEx(AsHandle(Handle), &size)) return m;
        m.SectorSize = 512;
        m.TotalBytes = static_cast<std::uint64_t>(size.QuadPart);
        return m;
    }

    std::int64_t ReadAt(THandle Handle, void* Target, std::uint64_t Count,
                        std::uint64_t Offset) override {
        const auto count = static_cast<DWORD>(std::min<std::uint64_t>(Count, 1u << 30));
        if (const TNtReadFile read = NativeReadFile()) {
            IO_STATUS_BLOCK io{};
            LARGE_INTEGER at{};
            at.QuadPart = static_cast<LONGLONG>(Offset);
            NTSTATUS status =
                read(AsHandle(Handle), nullptr, nullptr, nullptr, &io, Target, count, &at, nullptr);
            // Handles here are opened for synchronous reading, which never pends; were one not,
            // the handle is signalled when its read is done.
            if (status == StatusPending)
                status = ::WaitForSingleObject(AsHandle(Handle), INFINITE) == WAIT_OBJECT_0
                             ? io.Status
                             : StatusUnsuccessful;
            if (status == StatusEndOfFile) return 0;
            if (!NT_SUCCESS(status)) return -1;
            return static_cast<std::int64_t>(io.Information);
        }
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(Offset & 0xFFFFFFFF);
        at.OffsetHigh = static_cast<DWORD>(Offset >> 32);
        DWORD read = 0;
        if (!::ReadFile(AsHandle(Handle), Target, count, &read, &at))
            return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
        return read;
    }

    void Close(THandle Handle) override { ::CloseHandle(AsHandle(Handle)); }

    void ReleaseFreeMemory() override { ::HeapCompact(::GetProcessHeap(), 0); }

    THandle CreateScratchFile(std::string& Folder, std::string& Error) override {
        wchar_t folder[MAX_PATH + 1] = {};
        wchar_t name[MAX_PATH + 1] = {};
        if (::GetTempPathW(MAX_PATH + 1, folder) == 0 ||
            ::GetTempFileNameW(folder, L"pw", 0, name) == 0) {
            const DWORD code = ::GetLastError();
            Error = Utf8(folder) + ": " + SysErrorMessage(code);
            return InvalidHandle;
        }
        Folder = Utf8(folder);
        // Deleted by the system when the handle closes, also when the process is ended.
        const HANDLE file =
            ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD code = ::GetLastError();
            Error = Utf8(folder) + ": " + SysErrorMessage(code);
            ::DeleteFileW(name);
            return InvalidHandle;
        }
        return FromHandle(file);
    }

    bool WriteAt(THandle Handle, const void* Data, std::uint64_t Count, std::uint64_t Offset,
                 std::string& Error) override {
        const auto* p = static_cast<const char*>(Data);
        while (Count > 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(Offset & 0xFFFFFFFF);
            at.OffsetHigh = static_cast<DWORD>(Offset >> 32);
            DWORD put = 0;
            const auto count = static_cast<DWORD>(std::min<std::uint64_t>(Count, 1u << 30));
            if (!::WriteFile(AsHandle(Handle), p, count, &put, &at) || put == 0) {
                Error = SysErrorMessage(::GetLastError());
                return false;
            }
            p += put;
            Count -= put;
            Offset += put;
        }
        return true;
    }

    std::vector<std::string> BlockDevices() override { return {}; }
};

} // namespace

TSystemLayer& PlatformSystem() {
    static TWindowsSystem system;
    return system;
}

// The lock and condition of disk/Waiting.h: each the system's, held in one pointer of storage.
static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*));

void TLock::lock() {
    ::AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&FState));
}
void TLock::unlock() {
    ::ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&FState));
}
bool TLock::try_lock() {
    return ::TryAcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&FState)) != 0;
}

void TCondition::notify_one() {
    ::WakeConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&FState));
}
void TCondition::notify_all() {
    ::WakeAllConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&FState));
}
void TCondition::WaitMs(std::unique_lock<TLock>& Lock, unsigned long Ms) {
    // A wake-up that comes early or late is no fault: every caller checks what it waits for.
    ::SleepConditionVariableSRW(reinterpret_cast<PCONDITION_VARIABLE>(&FState),
                                reinterpret_cast<PSRWLOCK>(&Lock.mutex()->FState), Ms, 0);
}
