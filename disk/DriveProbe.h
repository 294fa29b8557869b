#pragma once

// The one way a drive is opened: by drive letter where drives are letters ("C:\"), otherwise a
// block device or an image file named by its path, raw or EWF. The probe opens it, measures it
// and settles its sector size, and answers with the drive's information and an open reader, or
// with one reason why it cannot be scanned. Never throws.

#include <cstdint>
#include <memory>
#include <string>

#include "disk/DriveInfo.h"
#include "disk/DriveReader.h"

class TSystemLayer;

enum class TDriveProblem {
    None,
    NoDrive,      // no path given
    NotFound,     // no such file or device
    AccessDenied, // this user may not read it
    Folder,       // a folder, a socket, a named pipe, a character device: not a drive
    Socket,
    Fifo,
    CharDevice,
    NotADrive,         // anything else that is neither a block device nor an image file
    CannotOpen,        // any other failed open (a symbolic link loop, ...), in the system's words
    NotReady,          // a drive letter whose volume cannot be measured
    UnknownSectorSize, // measured, but no sector size
    SectorSizeRefused, // a sector size asked of a block device that reports another
    Empty,             // no byte at all
    SmallerThanSector, // less than one whole sector
    EwfUnreadable,     // an EWF set libewf cannot open, in libewf's words
};

struct TDriveProbe {
    std::string Path;
    TDriveProblem Problem = TDriveProblem::None;
    // Why the drive cannot be scanned, a few words for a one-line error; empty when it can.
    std::string Reason;
    // Filled as far as the drive could be measured, whatever the problem.
    TDriveInfo Info;
    // Open for as long as the probe is kept; null when there is a problem.
    std::unique_ptr<TDriveReader> Reader;
    // Bytes after the last whole sector of an image: never scanned.
    std::uint64_t TrailingBytes = 0;
    // What is damaged in an EWF set that still opened (a segment missing); empty when intact.
    // Reads of what it lacks fail and are counted as unreadable sectors.
    std::string Damage;

    bool Ok() const { return Problem == TDriveProblem::None; }
};

// Probes Path. SectorSize, when not 0, is the sector size of an image file made with other
// sectors than 512 bytes; a block device keeps its own, and a different one is refused.
TDriveProbe ProbeDrive(TSystemLayer& System, const std::string& Path, std::uint32_t SectorSize = 0);
