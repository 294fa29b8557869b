#pragma once

// The drives that can be read now. With drive letters: the roots the system lists whose root can be
// entered ("C:\"). Otherwise: the whole disks and partitions that open for reading and are not
// empty, in name order ("/dev/sda" before "/dev/sda1" before "/dev/sda2" before "/dev/sda10"),
// followed by the disk images the program was given. Never throws.

#include <string>
#include <vector>

#include "disk/SystemLayer.h"

using TDriveArray = std::vector<std::string>;

class TGetDrives {
  public:
    TGetDrives();
    explicit TGetDrives(TSystemLayer& System);

    // Offers an image file as a drive of its own; false (and nothing added) when it does not open
    // for reading or is empty.
    bool AddImage(const std::string& Path);

    TDriveArray ListDrives();
    // True when the drive can be read now; the current directory and error mode are the same
    // afterwards as before.
    bool IsDriveReady(const std::string& Root);

  private:
    bool IsReadableAndNotEmpty(const std::string& Path);
    TDriveArray ListDriveLetters();

    TSystemLayer* FSystem;
    TDriveArray FImages;
};

// Orders names with their digit runs compared as numbers, so "sda2" comes before "sda10".
bool NaturalLess(const std::string& A, const std::string& B);
