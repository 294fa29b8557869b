#pragma once

// What the command-line scanner's tests scan: an image of two messages in a folder of its own
// (what the scanner writes goes to a second folder, apart from the evidence), and images of many
// messages, one a sector.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/engine/scan/ScanTestSupport.h"
#include "tests/support/CliRunner.h"

class TTwoMessageImageTest : public ::testing::Test {
  protected:
    TTempDir Dir;
    TTempDir Elsewhere; // what the scanner writes lives apart from the image's folder
    std::string Image;

    // The image's file name in Dir.
    virtual std::string ImageName() const { return "disk.img"; }

    void SetUp() override {
        Image = Dir.File(ImageName());
        TImage(Image, 64 * 1024)
            .Put(1024, MakeMessage("Ann <ann@example.org>", "Bo <bo@example.org>", "first",
                                   "invoice attached"))
            .Put(8192,
                 MakeMessage("Cy <cy@example.org>", "Di <di@example.org>", "second", "see you"));
    }

    std::string Scan(const std::string& Rest) const { return "scan " + Quote(Image) + " " + Rest; }
};

// An image at Path holding Count messages "row 0", "row 1"..., one every 1024 bytes from 1024 on.
inline void WriteManyMessages(const std::string& Path, int Count) {
    TImage image(Path, static_cast<std::uint64_t>(Count + 1) * 1024);
    for (int i = 0; i < Count; ++i)
        image.Put(static_cast<std::uint64_t>(i + 1) * 1024,
                  MakeMessage("a@example.org", "b@example.org", "row " + std::to_string(i), "text"));
}
