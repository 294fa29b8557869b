#pragma once

// Runs the command-line scanner as a user runs it, through the shell (POSIX only). PW_CLI names
// the program; each test executable defines it.

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "ScanTestSupport.h"

struct TRun {
    int Status = -1;
    std::string Out;
    std::string Err;
};

// With a time limit, so a hang fails the test instead of stalling it, and no standard input.
inline TRun RunCli(const std::string& Args) {
    TTempDir dir;
    const std::string errFile = dir.File("stderr");
    const std::string cmd =
        std::string("timeout 60 '") + PW_CLI + "' " + Args + " 2>'" + errFile + "' </dev/null";
    TRun run;
    std::FILE* p = popen(cmd.c_str(), "r");
    if (!p) return run;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        run.Out.append(buf, n);
    const int raw = pclose(p);
    run.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.Err = ReadAll(errFile);
    return run;
}

// A path or word quoted for the shell.
inline std::string Quote(const std::string& S) {
    return "'" + S + "'";
}
