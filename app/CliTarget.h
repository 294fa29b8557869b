#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TDriveProbe;
class TSystemLayer;

// Why a scan target cannot be scanned, in a few words for a one-line error ("no such file or
// device", "permission denied (...)", "not a drive or disk image (it is a socket)", "empty");
// empty when it can. SectorSize is the sector size asked for an image (0 for its default).
std::string TargetProblem(TSystemLayer& System, const std::string& Target,
                          std::uint32_t SectorSize = 0);
std::string TargetProblem(const std::string& Target, std::uint32_t SectorSize = 0);

// What the user should know about a target that can be scanned: bytes past its last whole
// sector, a damaged EWF set. One line each.
std::vector<std::string> TargetWarnings(const TDriveProbe& Probe);
// Where drives are letters (Windows): the target as the drive layer names it. A bare drive
// ("C:", "c:\") becomes its root "C:\"; device paths ("\\.\PhysicalDrive0") and image paths are
// kept as given.
std::string DriveTarget(const TSystemLayer& System, const std::string& Target);

// Where drives are letters: why a drive cannot be opened for raw reading before a scan starts
// (reading a drive needs administrator rights, reading an image none); empty for an image, and
// for a drive that opens. Elsewhere always empty (TargetProblem speaks for devices there).
std::string DriveAccessProblem(TSystemLayer& System, const std::string& Target);
std::string DriveAccessProblem(const std::string& Target);

// Why the found messages could not be kept past what memory holds: no scratch file can be made
// and written in the temporary folder. Asked before a scan, so that a folder that cannot take one
// is known at once rather than after many MiB of mail. Empty when it can.
std::string ScratchFolderProblem(TSystemLayer& System);

// Why an image file cannot be read by this build: EWF (.E01) sets where libewf is not built in
// (the Windows programs). Empty when it can, or when it is not an EWF file.
std::string ImageFormatProblem(const std::string& Path);
