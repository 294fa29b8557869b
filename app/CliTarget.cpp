#include "CliTarget.h"

#include <filesystem>
#include <system_error>

#include "EwfImage.h"
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

namespace {

bool IsDriveLetter(char C) {
    return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z');
}

// "C:" or "C:\" (or "C:/").
bool IsBareDrive(const std::string& Target) {
    return (Target.size() == 2 || (Target.size() == 3 && (Target[2] == '\\' || Target[2] == '/'))) &&
           IsDriveLetter(Target[0]) && Target[1] == ':';
}

} // namespace

std::string DriveTarget(const TSystemLayer& System, const std::string& Target) {
    if (!System.UsesDriveLetters() || !IsBareDrive(Target)) return Target;
    const char letter = static_cast<char>(
        Target[0] >= 'a' && Target[0] <= 'z' ? Target[0] - 'a' + 'A' : Target[0]);
    return std::string(1, letter) + ":\\";
}

std::string DriveAccessProblem(TSystemLayer& System, const std::string& Target) {
    if (!System.UsesDriveLetters()) return {};
    std::string device;
    if (IsBareDrive(Target))
        device = std::string("\\\\.\\") + Target[0] + ":";
    else if (Target.rfind("\\\\.\\", 0) == 0)
        device = Target;
    else
        return {}; // an image file: no rights needed
    TOpenError error = TOpenError::None;
    const THandle handle = System.OpenForReading(device, error);
    if (handle != InvalidHandle) {
        System.Close(handle);
        return {};
    }
    if (error == TOpenError::AccessDenied)
        return "Cannot read drive " + Target +
               ": run Parcelwright as administrator to read drives; disk images need no rights";
    if (error == TOpenError::NotFound) return "Cannot read drive " + Target + ": no such drive";
    return {};
}

std::string DriveAccessProblem(const std::string& Target) {
    return DriveAccessProblem(PlatformSystem(), Target);
}

std::string ImageFormatProblem(const std::string& Path) {
    if (TEwfImage::Supported() || !TEwfImage::IsEwfFile(Path)) return {};
#ifdef _WIN32
    return "Cannot read " + Path + ": .E01 images are read by the Linux build";
#else
    return "Cannot read " + Path + ": this build has no libewf";
#endif
}
