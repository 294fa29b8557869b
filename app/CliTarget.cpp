#include "CliTarget.h"

#include "DriveProbe.h"
#include "SystemLayer.h"

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
