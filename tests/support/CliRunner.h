#pragma once

// Runs the command-line scanner as a user runs it, through the shell (POSIX only). PW_CLI names
// the program; each test executable defines it.

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "tests/support/TempDir.h"

struct TRun {
    int Status = -1;
    std::string Out;
    std::string Err;
};

// A path or word quoted for the shell.
inline std::string Quote(const std::string& S) {
    std::string q = "'";
    for (char c : S)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// With a time limit, so a hang fails the test instead of stalling it, and no standard input.
// Redirect, when not empty, replaces the pipe standard output is read from; Out then stays empty.
inline TRun RunCliWith(const std::string& Args, const std::string& Redirect) {
    TTempDir dir;
    const std::string errFile = dir.File("stderr");
    const std::string cmd = "timeout 60 " + Quote(PW_CLI) + " " + Args + " 2>" + Quote(errFile) +
                            " </dev/null " + Redirect;
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

inline TRun RunCli(const std::string& Args) {
    return RunCliWith(Args, "");
}

// Standard output opened read and write on an existing file, not truncated (the shell's 1<>);
// Out is the whole file afterwards.
inline TRun RunCliInto(const std::string& Args, const std::string& OutFile) {
    TRun run = RunCliWith(Args, "1<>" + Quote(OutFile));
    run.Out = ReadAll(OutFile);
    return run;
}
