#include "disk/DriveProbe.h"

#include <algorithm>
#include <limits>

#include "disk/EwfImage.h"
#include "disk/RawDiskAccess.h"
#include "disk/SystemLayer.h"

namespace {

// A block device or image file through the system layer's calls; the handle is closed with it.
// Not read ahead by the buffer: the system reads devices and files ahead itself (on Linux told
// so by posix_fadvise), and a thread of ours only added a copy of every byte.
class TRawReader final : public TDriveReader {
  public:
    TRawReader(TSystemLayer& System, THandle Handle, const TDriveMeasure& Measure)
        : FSystem(System), FHandle(Handle), FMeasure(Measure) {}
    ~TRawReader() override { FSystem.Close(FHandle); }
    TRawReader(const TRawReader&) = delete;
    TRawReader& operator=(const TRawReader&) = delete;

    std::int64_t ReadAt(void* Target, std::uint64_t Count, std::uint64_t Offset) override {
        return FSystem.ReadAt(FHandle, Target, Count, Offset);
    }
    std::uint64_t Size() const override { return FMeasure.TotalBytes; }
    std::uint32_t SectorSize() const override { return FMeasure.SectorSize; }
    bool DataExtent(std::uint64_t Offset, std::uint64_t& DataStart,
                    std::uint64_t& DataEnd) override {
        return FSystem.DataExtent(FHandle, Offset, DataStart, DataEnd);
    }

  private:
    TSystemLayer& FSystem;
    THandle FHandle;
    TDriveMeasure FMeasure;
};

// A volume by drive letter, through the NT or 9x reading path: whole sectors only, all or nothing.
// Nothing reads a raw volume ahead of its reader, so the buffer does.
class TVolumeReader final : public TDriveReader {
  public:
    TVolumeReader(TSystemLayer& System, char Letter, const TDriveInfo& Info)
        : FSystem(System), FDrive(static_cast<std::uint8_t>(Letter - 64)), FInfo(Info) {}

    std::int64_t ReadAt(void* Target, std::uint64_t Count, std::uint64_t Offset) override {
        const std::uint32_t sector = FInfo.BytesPerSector;
        if (Count % sector != 0 || Offset % sector != 0) return -1;
        if (Offset >= Size()) return 0;
        const std::uint64_t count = std::min<std::uint64_t>(Count, Size() - Offset) / sector;
        if (count == 0) return -1;
        return ReadSectors(FSystem, FDrive, Offset / sector, count, Target)
                   ? static_cast<std::int64_t>(count * sector)
                   : -1;
    }
    std::uint64_t Size() const override {
        return FInfo.TotalBytes > 0 ? static_cast<std::uint64_t>(FInfo.TotalBytes) : 0;
    }
    std::uint32_t SectorSize() const override { return FInfo.BytesPerSector; }
    bool ReadsInPieces() const override { return false; }
    bool MayReadAhead() const override { return &FSystem == &PlatformSystem(); }

  private:
    TSystemLayer& FSystem;
    std::uint8_t FDrive;
    TDriveInfo FInfo;
};

TDriveProbe&& Refuse(TDriveProbe& Probe, TDriveProblem Problem, std::string Reason) {
    Probe.Problem = Problem;
    Probe.Reason = std::move(Reason);
    Probe.Reader.reset();
    return std::move(Probe);
}

std::string NotADrive(const std::string& What) {
    return "not a drive or disk image (it is " + What + ")";
}

TDriveProbe&& RefuseOpen(TDriveProbe& Probe, const TOpenFailure& Failure) {
    switch (Failure.Error) {
    case TOpenError::NotFound:
        return Refuse(Probe, TDriveProblem::NotFound, "no such file or device");
    case TOpenError::AccessDenied:
        if (Failure.Kind == TDriveKind::BlockDevice)
            return Refuse(Probe, TDriveProblem::AccessDenied,
                          "permission denied (reading a block device needs membership of the \"" +
                              (Failure.Group.empty() ? std::string("disk") : Failure.Group) +
                              "\" group, or root)");
        if (Failure.Kind == TDriveKind::ImageFile)
            return Refuse(Probe, TDriveProblem::AccessDenied,
                          "permission denied (this user may not read the file)");
        return Refuse(Probe, TDriveProblem::AccessDenied,
                      "permission denied (run with the right to read the device)");
    default:
        break;
    }
    if (Failure.Kind == TDriveKind::Socket)
        return Refuse(Probe, TDriveProblem::Socket, NotADrive("a socket"));
    return Refuse(Probe, TDriveProblem::CannotOpen,
                  Failure.Text.empty() ? "cannot be opened for reading"
                                       : "cannot be opened (" + Failure.Text + ")");
}

TDriveProbe&& RefuseKind(TDriveProbe& Probe, TDriveKind Kind) {
    switch (Kind) {
    case TDriveKind::Folder:
        return Refuse(Probe, TDriveProblem::Folder, NotADrive("a folder"));
    case TDriveKind::Socket:
        return Refuse(Probe, TDriveProblem::Socket, NotADrive("a socket"));
    case TDriveKind::Fifo:
        return Refuse(Probe, TDriveProblem::Fifo, NotADrive("a named pipe"));
    case TDriveKind::CharDevice:
        return Refuse(Probe, TDriveProblem::CharDevice, NotADrive("a character device"));
    default:
        return Refuse(Probe, TDriveProblem::NotADrive, "not a drive or disk image");
    }
}

// Opens an EWF set in place of the raw file that holds its first segment.
bool OpenEwf(TDriveProbe& Probe, TDriveMeasure& Measure) {
    auto image = std::make_unique<TEwfImage>(Probe.Path);
    if (!image->IsOpen()) {
        Refuse(Probe, TDriveProblem::EwfUnreadable, image->LastError());
        return false;
    }
    Measure.SectorSize = image->BytesPerSector();
    Measure.TotalBytes = image->MediaSize();
    Probe.Damage = image->Damage();
    Probe.Reader = std::move(image);
    return true;
}

} // namespace

bool ReadFully(TDriveReader& Reader, void* Target, std::uint64_t Count, std::uint64_t Offset) {
    auto* target = static_cast<char*>(Target);
    for (std::uint64_t done = 0; done < Count;) {
        const std::int64_t got = Reader.ReadAt(target + done, Count - done, Offset + done);
        if (got <= 0) return false;
        done += static_cast<std::uint64_t>(got);
    }
    return true;
}

TDriveProbe ProbeDrive(TSystemLayer& System, const std::string& Path, std::uint32_t SectorSize) {
    TDriveProbe probe;
    probe.Path = Path;
    if (Path.empty()) return Refuse(probe, TDriveProblem::NoDrive, "no drive or disk image given");

    // Where drives are letters, the drive list offers roots ("C:\"); a longer path is an image.
    if (System.UsesDriveLetters() && Path.size() <= 3) {
        GetDriveInfo(System, Path, probe.Info);
        if (probe.Info.BytesPerSector == 0)
            return Refuse(probe, TDriveProblem::NotReady,
                          "the drive is not ready or cannot be measured");
        if (probe.Info.TotalBytes < probe.Info.BytesPerSector)
            return Refuse(probe, TDriveProblem::Empty, "empty");
        const char c = Path[0];
        probe.Reader = std::make_unique<TVolumeReader>(
            System, (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c, probe.Info);
        return probe;
    }

    TOpenFailure failure;
    const THandle handle = System.OpenForReading(Path, failure);
    if (handle == InvalidHandle) return RefuseOpen(probe, failure);
    TDriveMeasure measure = System.MeasureDrive(handle);
    probe.Reader = std::make_unique<TRawReader>(System, handle, measure);
    if (measure.Kind != TDriveKind::ImageFile && measure.Kind != TDriveKind::BlockDevice)
        return RefuseKind(probe, measure.Kind);

    // An EWF set is recognised by its first bytes, whatever the file is called. Asked of the file
    // itself: the scan's reader never reads sector 0.
    if (measure.Kind == TDriveKind::ImageFile && TEwfImage::IsEwfFile(Path) &&
        !OpenEwf(probe, measure))
        return probe;

    // A device reports its own sector size; an image may have been made with other sectors.
    const bool device = measure.Kind == TDriveKind::BlockDevice;
    const std::uint32_t sector = SectorSize != 0 && !device ? SectorSize : measure.SectorSize;
    probe.Info.BytesPerSector = sector;
    probe.Info.SectorsPerCluster = sector != 0 ? 1 : 0;
    probe.Info.BytesPerCluster = sector;
    probe.Info.TotalBytes = static_cast<std::int64_t>(
        std::min<std::uint64_t>(measure.TotalBytes, std::numeric_limits<std::int64_t>::max()));
    if (sector == 0)
        return Refuse(probe, TDriveProblem::UnknownSectorSize, "its sector size is unknown");
    probe.Info.TotalClusters = probe.Info.TotalBytes / sector;
    if (device && SectorSize != 0 && SectorSize != sector)
        return Refuse(probe, TDriveProblem::SectorSizeRefused,
                      "a block device has its own sector size (" + std::to_string(sector) +
                          " bytes); a sector size of " + std::to_string(SectorSize) +
                          " applies to image files only");
    probe.TrailingBytes = static_cast<std::uint64_t>(probe.Info.TotalBytes) % sector;
    if (probe.Info.TotalBytes == 0) return Refuse(probe, TDriveProblem::Empty, "empty");
    if (probe.Info.TotalClusters == 0)
        return Refuse(probe, TDriveProblem::SmallerThanSector,
                      "smaller than one sector (" + std::to_string(probe.Info.TotalBytes) +
                          " bytes)");
    return probe;
}
