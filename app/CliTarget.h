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
