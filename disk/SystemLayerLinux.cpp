// The system layer on Linux (and other POSIX systems): a drive is a block device or an image file
// named by its path. The Windows-only calls answer as a system without them would.

#include "SystemLayer.h"

#include "EwfImage.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

namespace {

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

    THandle OpenForReading(const std::string& Path, TOpenError& Error) override {
        if (IsEwfPath(Path)) return OpenEwf(Path, Error);
        int fd;
        do {
            // Without O_NONBLOCK a named pipe with no writer would block the open for ever.
            fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            // Reads of drives and images block as usual; anything else is refused later by
            // MeasureDrive and never read.
            const int flags = ::fcntl(fd, F_GETFL);
            if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            // A scan reads front to back: let the kernel read ahead further. Only a hint.
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
            Error = TOpenError::None;
            return fd;
        }
        switch (errno) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
            Error = TOpenError::NotFound;
            break;
        case EACCES:
        case EPERM:
            Error = TOpenError::AccessDenied;
            break;
        default:
            Error = TOpenError::Other;
        }
        return InvalidHandle;
    }

    bool MeasureDrive(THandle Handle, std::uint32_t& SectorSize,
                      std::uint64_t& TotalBytes) override {
        SectorSize = 0;
        TotalBytes = 0;
        if (TEwfImage* image = Ewf(Handle)) {
            SectorSize = image->BytesPerSector();
            TotalBytes = image->MediaSize();
            return true;
        }
        struct stat st {};
        if (::fstat(static_cast<int>(Handle), &st) != 0) return false;
        if (S_ISREG(st.st_mode)) {
            SectorSize = 512;
            TotalBytes = static_cast<std::uint64_t>(st.st_size);
            return true;
        }
#ifdef __linux__
        if (S_ISBLK(st.st_mode)) {
            int logical = 0;
            std::uint64_t bytes = 0;
            if (::ioctl(static_cast<int>(Handle), BLKSSZGET, &logical) != 0 || logical <= 0)
                return false;
            if (::ioctl(static_cast<int>(Handle), BLKGETSIZE64, &bytes) != 0) return false;
            SectorSize = static_cast<std::uint32_t>(logical);
            TotalBytes = bytes;
            return true;
        }
#endif
        return false;
    }

    std::int64_t ReadAt(THandle Handle, void* Target, std::uint64_t Count,
                        std::uint64_t Offset) override {
        // pread moves at most about 2 GiB at once; larger requests come back short and are
        // continued by the caller.
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(Count, INT_MAX));
        if (TEwfImage* image = Ewf(Handle)) return ReadEwf(*image, Target, count, Offset);
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
        if (Handle >= EwfHandleBase) {
            const std::lock_guard lock(FEwfLock);
            FEwfImages.erase(Handle);
            return;
        }
        ::close(static_cast<int>(Handle));
    }

    std::vector<std::string> BlockDevices() override {
        std::vector<std::string> paths;
        std::error_code ec;
        for (std::filesystem::directory_iterator it("/sys/class/block", ec), end; !ec && it != end;
             it.increment(ec))
            paths.push_back("/dev/" + it->path().filename().string());
        return paths;
    }

  private:
    // --- EWF (.E01) images: a drive like any image, its reads going through libewf. Their handles
    // lie far above any file descriptor.
    static constexpr THandle EwfHandleBase = THandle{1} << 40;

    static bool IsEwfPath(const std::string& Path) {
        struct stat st {};
        return ::stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
               TEwfImage::IsEwfFile(Path);
    }

    THandle OpenEwf(const std::string& Path, TOpenError& Error) {
        auto image = std::make_unique<TEwfImage>(Path);
        if (!image->IsOpen()) {
            Error = TOpenError::Other;
            return InvalidHandle;
        }
        const std::lock_guard lock(FEwfLock);
        const THandle handle = FNextEwfHandle++;
        FEwfImages.emplace(handle, std::move(image));
        Error = TOpenError::None;
        return handle;
    }

    TEwfImage* Ewf(THandle Handle) {
        if (Handle < EwfHandleBase) return nullptr;
        const std::lock_guard lock(FEwfLock);
        const auto it = FEwfImages.find(Handle);
        return it == FEwfImages.end() ? nullptr : it->second.get();
    }

    static std::int64_t ReadEwf(TEwfImage& Image, void* Target, std::size_t Count,
                                std::uint64_t Offset) {
        if (Offset >= Image.MediaSize()) return 0;
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(Count, Image.MediaSize() - Offset));
        return Image.Read(Offset, Target, count) ? static_cast<std::int64_t>(count) : -1;
    }

    std::mutex FEwfLock;
    std::map<THandle, std::unique_ptr<TEwfImage>> FEwfImages;
    THandle FNextEwfHandle = EwfHandleBase;
};

} // namespace

TSystemLayer& PlatformSystem() {
    static TLinuxSystem system;
    return system;
}
