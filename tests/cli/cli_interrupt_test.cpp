// Ctrl+C during a scan of the command-line scanner: the first one asks the scan to stop.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <random>
#include <string>

#include "app/CliProgress.h"
#include "engine/ScanHardDisk.h"

namespace {

TEST(CliInterrupt, CtrlCIsAskedForByTheScanAndOnlyAfterItWasPressed) {
    std::ostringstream out;
    TCliProgress progress(out, false, 512);
    CatchInterrupt();
    EXPECT_FALSE(InterruptRequested());
    EXPECT_FALSE(progress.CancelRequested());
    EXPECT_FALSE(progress.Interrupted());
    std::raise(SIGINT); // caught: the test goes on
    EXPECT_TRUE(InterruptRequested());
    EXPECT_TRUE(progress.CancelRequested());
    EXPECT_TRUE(progress.Interrupted());
    // A new scan starts with no request.
    CatchInterrupt();
    EXPECT_FALSE(InterruptRequested());
    ReleaseInterrupt();
}

// Needs the scan driver to ask CancelRequested: fails until it does.
TEST(CliInterrupt, ScanStopsAtCtrlCKeepingWhatItFound) {
    const std::filesystem::path image =
        std::filesystem::temp_directory_path() /
        ("pw-cli-interrupt-" + std::to_string(std::random_device{}()) + ".img");
    {
        std::string bytes(512 * 64, '\0');
        for (int i = 0; i < 12; ++i) {
            const std::string text = "From: a@example.com\r\nTo: b@example.org\r\nSubject: " +
                                     std::to_string(i) + "\r\n\r\nbody\r\n";
            bytes.replace(512 * (2 + 4 * i), text.size(), text);
        }
        std::ofstream(image, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    }
    std::ostringstream out;
    TCliProgress progress(out, false, 512);
    {
        TScanHardDisk full(image.string(), {}, progress);
        ASSERT_EQ(full.ScanDrive().Emails.size(), 12u);
    }
    CatchInterrupt();
    std::raise(SIGINT);
    TScanHardDisk scan(image.string(), {}, progress);
    const TScanResult result = scan.ScanDrive();
    const std::size_t found = result.Emails.size();
    ReleaseInterrupt();
    std::filesystem::remove(image);
    EXPECT_TRUE(progress.Interrupted());
    EXPECT_LT(found, 12u);
    EXPECT_TRUE(result.Cancelled);
}

} // namespace
