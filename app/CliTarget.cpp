#include "CliTarget.h"

#include <filesystem>
#include <system_error>

#include "SystemLayer.h"

std::string TargetProblem(TSystemLayer& System, const std::string& Target,
                          std::uint32_t SectorSize) {
    if (Target.empty()) return "no target given";
    // Drive roots are measured through the volume calls; the disk buffer reports on those.
    if (System.UsesDriveLetters()) return {};
    std::error_code ec;
    if (std::filesystem::is_directory(Target, ec))
        return "not a drive or disk image (it is a folder)";
    TOpenError error = TOpenError::None;
    const THandle handle = System.OpenForReading(Target, error);
    if (handle == InvalidHandle) {
        switch (error) {
        case TOpenError::NotFound:
            return "no such file or device";
        case TOpenError::AccessDenied:
            return "permission denied (run with the right to read the device)";
        default:
            return "cannot be opened for reading";
        }
    }
    std::uint32_t sectorSize = 0;
    std::uint64_t totalBytes = 0;
    const bool measured = System.MeasureDrive(handle, sectorSize, totalBytes);
    System.Close(handle);
    if (!measured) return "not a drive or disk image";
    if (totalBytes == 0) return "empty";
    const std::uint32_t size = SectorSize != 0 ? SectorSize : sectorSize;
    if (size != 0 && totalBytes < size)
        return "smaller than one sector (" + std::to_string(totalBytes) + " bytes)";
    return {};
}

std::string TargetProblem(const std::string& Target, std::uint32_t SectorSize) {
    return TargetProblem(PlatformSystem(), Target, SectorSize);
}
