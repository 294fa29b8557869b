#pragma once

#include <stdexcept>
#include <string>

// The program's one error class. The engine and the scan raise it with a message text that the
// front ends show as it is; the disk layer never throws it (it answers zeros, empty texts or
// false), except TDiskBuffer's creation, which fails on a drive it cannot measure.
class TPwError : public std::runtime_error {
  public:
    explicit TPwError(const std::string& message) : std::runtime_error(message) {}
};
