#include "app/CliTarget.h"

#include "disk/DriveProbe.h"
#include "disk/EwfImage.h"
#include "disk/SystemLayer.h"

std::string TargetProblem(TSystemLayer& System, const std::string& Target,
                          std::uint32_t SectorSize) {
    return ProbeDrive(System, Target, SectorSize).Reason;
}

std::string TargetProblem(const std::string& Target, std::uint32_t SectorSize) {
    return TargetProblem(PlatformSystem(), Target, SectorSize);
}

std::vector<std::string> TargetWarnings(const TDriveProbe& Probe) {
    std::vector<std::string> warnings;
    if (Probe.TrailingBytes != 0)
        warnings.push_back("the last " + std::to_string(Probe.TrailingBytes) +
                           " bytes are not a whole sector and are not scanned");
    if (!Probe.Damage.empty())
        warnings.push_back(Probe.Damage + "; what it held reads as unreadable sectors");
    return warnings;
}

namespace {

bool IsDriveLetter(char C) {
    return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z');
}

// "C:" or "C:\" (or "C:/").
bool IsBareDrive(const std::string& Target) {
    return (Target.size() == 2 ||
            (Target.size() == 3 && (Target[2] == '\\' || Target[2] == '/'))) &&
           IsDriveLetter(Target[0]) && Target[1] == ':';
}

} // namespace

std::string DriveTarget(const TSystemLayer& System, const std::string& Target) {
    if (!System.UsesDriveLetters() || !IsBareDrive(Target)) return Target;
    const char letter =
        static_cast<char>(Target[0] >= 'a' && Target[0] <= 'z' ? Target[0] - 'a' + 'A' : Target[0]);
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
    TOpenFailure failure;
    const THandle handle = System.OpenForReading(device, failure);
    const TOpenError error = failure.Error;
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

std::string ScratchFolderProblem(TSystemLayer& System) {
    std::string folder, error;
    const THandle file = System.CreateScratchFile(folder, error);
    if (file == InvalidHandle) return error;
    const char byte = 0;
    const bool written = System.WriteAt(file, &byte, 1, 0, error);
    System.Close(file);
    return written ? std::string() : folder + ": " + error;
}

std::string ImageFormatProblem(const std::string& Path) {
    if (TEwfImage::Supported() || !TEwfImage::IsEwfFile(Path)) return {};
    return "Cannot read " + Path + ": this build has no libewf";
}
