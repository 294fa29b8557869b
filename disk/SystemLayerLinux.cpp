// The system layer on Linux (and other POSIX systems): a drive is a block device or an image file
// named by its path. The Windows-only calls answer as a system without them would.

#include "disk/SystemLayer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

namespace {

TDriveKind KindOf(mode_t Mode) {
    if (S_ISREG(Mode)) return TDriveKind::ImageFile;
    if (S_ISBLK(Mode)) return TDriveKind::BlockDevice;
    if (S_ISDIR(Mode)) return TDriveKind::Folder;
    if (S_ISCHR(Mode)) return TDriveKind::CharDevice;
    if (S_ISFIFO(Mode)) return TDriveKind::Fifo;
    if (S_ISSOCK(Mode)) return TDriveKind::Socket;
    return TDriveKind::Unknown;
}

class TLinuxSystem final : public TSystemLayer {
  public:
    bool UsesDriveLetters() const override { return false; }

    bool GetVersionExA(TOSVersionInfo&) override { return false; }
    bool GetVersionExA(TOSVersionInfoEx&) override { return false; }

    bool HasGetDiskFreeSpaceExA() override { return false; }
    bool GetDiskFreeSpaceExA(const std::string&, std::uint64_t& TotalBytes) override {
        TotalBytes = 0;
        return false;
    }
    bool GetDiskFreeSpaceA(const std::string&, TDiskFreeSpace& Answer) override {
        Answer = {};
        return false;
    }

    THandle CreateFileA(const std::string&, std::uint32_t, std::uint32_t, std::uint32_t,
                        std::uint32_t) override {
        return InvalidHandle;
    }
    bool SetFilePointer(THandle, std::int64_t) override { return false; }
    bool ReadFile(THandle, void*, std::uint32_t, std::uint32_t& BytesRead) override {
        BytesRead = 0;
        return false;
    }
    void CloseHandle(THandle) override {}
    bool DeviceIoControl(THandle, std::uint32_t, TDiocRegisters&, const TDiskIO&, void*) override {
        return false;
    }

    std::uint32_t GetLogicalDriveStringsA(std::uint32_t, char*) override { return 0; }
    std::uint32_t SetErrorMode(std::uint32_t) override { return 0; }
    bool GetCurrentDirectoryA(std::string& Directory) override {
        std::error_code ec;
        auto path = std::filesystem::current_path(ec);
        if (ec) return false;
        Directory = path.string();
        return true;
    }
    bool SetCurrentDirectoryA(const std::string& Directory) override {
        return ::chdir(Directory.c_str()) == 0;
    }
    std::string SysErrorMessage(std::uint32_t Code) override {
        return std::strerror(static_cast<int>(Code));
    }

    // Folding is left to the caller's Windows-1252 rules, so the keyword filter behaves the same
    // here as on Windows.
    bool UpperCase(unsigned char (&)[256]) override { return false; }

    THandle OpenForReading(const std::string& Path, TOpenFailure& Failure) override {
        Failure = {};
        int fd;
        do {
            // Without O_NONBLOCK a named pipe with no writer would block the open for ever.
            fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            // Reads of drives and images block as usual; anything else is refused by what
            // MeasureDrive tells and never read.
            const int flags = ::fcntl(fd, F_GETFL);
            if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            // A scan reads front to back: let the kernel read ahead further. Only a hint.
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
            return fd;
        }
        const int code = errno;
        Failure.Text = std::strerror(code);
        struct stat st {};
        if (::stat(Path.c_str(), &st) == 0) Failure.Kind = KindOf(st.st_mode);
        switch (code) {
        case ENOENT:
        case ENOTDIR:
            Failure.Error = TOpenError::NotFound;
            break;
        case ENXIO:
        case ENODEV:
            // A socket cannot be opened at all; a device node without its device is not there.
            Failure.Error =
                Failure.Kind == TDriveKind::Socket ? TOpenError::Other : TOpenError::NotFound;
            break;
        case EACCES:
        case EPERM:
            Failure.Error = TOpenError::AccessDenied;
            if (Failure.Kind == TDriveKind::BlockDevice)
                if (const group* g = ::getgrgid(st.st_gid)) Failure.Group = g->gr_name;
            break;
        default:
            Failure.Error = TOpenError::Other;
        }
        return InvalidHandle;
    }

    TDriveMeasure MeasureDrive(THandle Handle) override {
        TDriveMeasure m;
        struct stat st {};
        if (::fstat(static_cast<int>(Handle), &st) != 0) return m;
        m.Kind = KindOf(st.st_mode);
        if (m.Kind == TDriveKind::ImageFile) {
            m.SectorSize = 512;
            m.TotalBytes = static_cast<std::uint64_t>(st.st_size);
        }
#ifdef __linux__
        int logical = 0;
        std::uint64_t bytes = 0;
        if (m.Kind == TDriveKind::BlockDevice &&
            ::ioctl(static_cast<int>(Handle), BLKSSZGET, &logical) == 0 && logical > 0 &&
            ::ioctl(static_cast<int>(Handle), BLKGETSIZE64, &bytes) == 0) {
            m.SectorSize = static_cast<std::uint32_t>(logical);
            m.TotalBytes = bytes;
        }
#endif
        return m;
    }

    std::int64_t ReadAt(THandle Handle, void* Target, std::uint64_t Count,
                        std::uint64_t Offset) override {
        // pread moves at most about 2 GiB at once; larger requests come back short and are
        // continued by the caller.
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(Count, INT_MAX));
        ssize_t got;
        do {
            got = ::pread(static_cast<int>(Handle), Target, count, static_cast<off_t>(Offset));
        } while (got < 0 && errno == EINTR);
        return got;
    }

    bool DataExtent(THandle Handle, std::uint64_t Offset, std::uint64_t& DataStart,
                    std::uint64_t& DataEnd) override {
        DataStart = DataEnd = 0;
        const int fd = static_cast<int>(Handle);
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
        const auto size = static_cast<std::uint64_t>(st.st_size);
        // At or past the end (an image cut short while it is read) nothing is known: the reads
        // there fail and are counted, never skipped.
        if (Offset >= size || Offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
        const off_t data = ::lseek(fd, static_cast<off_t>(Offset), SEEK_DATA);
        if (data < 0) {
            if (errno != ENXIO) return false; // no SEEK_DATA here
            DataStart = DataEnd = size;       // a hole up to the end
            return true;
        }
        const off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < data) return false;
        DataStart = static_cast<std::uint64_t>(data);
        DataEnd = static_cast<std::uint64_t>(hole);
        return true;
    }

    void Close(THandle Handle) override {
        ::close(static_cast<int>(Handle));
    }

    THandle CreateScratchFile(std::string& Folder, std::string& Error) override {
        // TMPDIR where the user named one; else /var/tmp, which is on disk where /tmp may be
        // memory (tmpfs), and scratch data kept on disk is the point.
        std::string folder;
        if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0')
            folder = tmp;
        else if (::access("/var/tmp", W_OK | X_OK) == 0)
            folder = "/var/tmp";
        else
            folder = "/tmp";
        Folder = folder;
        int fd;
#ifdef O_TMPFILE
        // A file with no name: nothing is left behind, whatever way the process ends.
        do {
            fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) return fd;
#endif
        // File systems without unnamed files: a named one, unlinked at once.
        std::string name = folder + "/parcelwright-XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) {
            Error = folder + ": " + std::strerror(errno);
            return InvalidHandle;
        }
        ::unlink(name.c_str());
        return fd;
    }

    bool WriteAt(THandle Handle, const void* Data, std::uint64_t Count, std::uint64_t Offset,
                 std::string& Error) override {
        const auto* p = static_cast<const char*>(Data);
        while (Count > 0) {
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(Count, INT_MAX));
            const ssize_t put =
                ::pwrite(static_cast<int>(Handle), p, count, static_cast<off_t>(Offset));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                Error = std::strerror(put < 0 ? errno : ENOSPC);
                return false;
            }
            p += put;
            Count -= static_cast<std::uint64_t>(put);
            Offset += static_cast<std::uint64_t>(put);
        }
        return true;
    }

    void ReleaseFreeMemory() override {
#ifdef __GLIBC__
        ::malloc_trim(0);
#endif
    }

    void AdviseLargePages(void* Start, std::size_t Size) override {
#ifdef MADV_HUGEPAGE
        // Only whole large pages inside the block: the advice covers every page it names, and a
        // neighbour's bytes are not ours to advise on.
        constexpr std::uintptr_t Large = 2u << 20;
        const auto start = reinterpret_cast<std::uintptr_t>(Start);
        const std::uintptr_t first = (start + Large - 1) & ~(Large - 1);
        const std::uintptr_t end = (start + Size) & ~(Large - 1);
        if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
        (void)Start;
        (void)Size;
#endif
    }

    std::vector<std::string> BlockDevices() override {
        std::vector<std::string> paths;
        std::error_code ec;
        for (std::filesystem::directory_iterator it("/sys/class/block", ec), end; !ec && it != end;
             it.increment(ec))
            paths.push_back("/dev/" + it->path().filename().string());
        return paths;
    }
};

} // namespace

TSystemLayer& PlatformSystem() {
    static TLinuxSystem system;
    return system;
}
