#pragma once

// EWF (.E01) segment sets made from known raw bytes with ewf-tools, for tests of the EWF reader
// and of scans through it.

#include <cstdlib>
#include <filesystem>
#include <string>

#include "disk/EwfImage.h"
#include "tests/support/CliRunner.h"

// Why EWF sets cannot be made or read here; empty when they can.
inline std::string EwfUnavailable() {
    if (!TEwfImage::Supported()) return "built without libewf";
    if (std::system("command -v ewfacquirestream >/dev/null 2>&1") != 0)
        return "ewfacquirestream not installed";
    return {};
}

// Acquires the file Raw as the set Base.E01 (Base.E02, ... as the options split it) and returns
// the first segment's path; empty when ewfacquirestream failed.
inline std::string AcquireEwf(const std::filesystem::path& Raw, const std::filesystem::path& Base,
                              const std::string& Options = "-c none") {
    const std::string command = "ewfacquirestream -q -t " + Quote(Base.string()) + " " + Options +
                                " < " + Quote(Raw.string()) + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return {};
    return Base.string() + ".E01";
}
