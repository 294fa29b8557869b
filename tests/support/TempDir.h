#pragma once

// A temporary folder that removes itself (and anything a test made unwritable inside it), and
// reading back what a test's subject wrote.

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

class TTempDir {
  public:
    TTempDir() {
        static std::atomic<unsigned> counter{0};
        std::random_device rd;
        Path = std::filesystem::temp_directory_path() /
               ("pw-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(Path);
    }
    ~TTempDir() {
        std::error_code ec;
        for (std::filesystem::recursive_directory_iterator it(Path, ec), end; !ec && it != end;
             it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec))
                std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ec);
        std::filesystem::permissions(Path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(Path, ec);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    std::string File(const std::string& Name) const { return (Path / Name).string(); }

    std::filesystem::path Path;
};

// The whole content of a file, as bytes.
inline std::string ReadAll(const std::filesystem::path& P) {
    std::ifstream in(P, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every name in a folder, temporary files included, sorted.
inline std::vector<std::string> FileNames(const std::filesystem::path& Folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(Folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Writes Bytes as the whole file.
inline void WriteFile(const std::filesystem::path& P, const std::string& Bytes) {
    std::ofstream(P, std::ios::binary | std::ios::trunc)
        .write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
}
