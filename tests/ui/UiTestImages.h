#pragma once

// The sample mail the window tests scan: twelve short messages on a small image, built in a
// temporary folder of the test's own.

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

struct TStored {
    std::string Subject;
    std::string Date;
    std::string From;
    std::string Body; // lines after the empty line, each ended by CR LF
};

inline std::string MessageText(const TStored& M) {
    return "From: " + M.From + "\r\nTo: Bob <bob@example.org>\r\nSubject: " + M.Subject +
           "\r\nDate: " + M.Date + "\r\n\r\n" + M.Body;
}

// Twelve messages. Bodies holding "invoice" (in any case) are items 1, 4, 7 and 10.
inline std::vector<TStored> Catalogue() {
    const char* const subjects[] = {"pear",  "Apple", "melon",  "banana", "Cherry", "kiwi",
                                    "grape", "Lemon", "orange", "Mango",  "fig",    "date"};
    std::vector<TStored> all;
    for (int i = 0; i < 12; ++i) {
        TStored m;
        m.Subject = subjects[i];
        m.Date = "Mon, " + std::to_string(10 + i) + " Jan 2022 10:00:00 +0000";
        m.From = std::string(1, static_cast<char>('a' + (i * 5) % 12)) + "@example.com";
        m.Body = "Hello number " + std::to_string(i) + "\r\n";
        if (i % 3 == 1)
            m.Body += (i == 4 ? "the INVOICE is attached\r\n" : "your Invoice, as promised\r\n");
        m.Body += "Regards\r\n";
        all.push_back(m);
    }
    return all;
}

// One message every four sectors from sector 2 on, zeros between them and after the last.
inline std::filesystem::path MakeImage(const std::filesystem::path& Path,
                                       const std::vector<TStored>& Messages) {
    constexpr std::size_t Sector = 512;
    std::string image(Sector * (4 * Messages.size() + 8), '\0');
    for (std::size_t i = 0; i < Messages.size(); ++i) {
        const std::string text = MessageText(Messages[i]);
        image.replace(Sector * (2 + 4 * i), text.size(), text);
    }
    image.resize((image.size() / Sector + 2) * Sector, '\0');
    std::ofstream(Path, std::ios::binary).write(image.data(), std::streamsize(image.size()));
    return Path;
}

// A folder of the test's own, removed with everything in it when the test ends.
class TTestFolder {
  public:
    explicit TTestFolder(const std::string& Prefix) {
        static unsigned counter = 0;
        Path = std::filesystem::temp_directory_path() /
               (Prefix + std::to_string(std::random_device{}()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(Path);
    }
    ~TTestFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(Path, ignored);
    }
    TTestFolder(const TTestFolder&) = delete;
    TTestFolder& operator=(const TTestFolder&) = delete;

    std::filesystem::path Path;
};
