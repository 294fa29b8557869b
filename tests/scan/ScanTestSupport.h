#pragma once

// Helpers for the scan tests: a host that records what the scan tells it, a temporary folder that
// cleans up after itself, disk images written byte for byte where a test wants them, and reading
// back what a test's subject wrote.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Error.h"
#include "ScanHost.h"

// The drive offsets of a scan result's messages, in found order.
template <class TResult>
std::vector<std::uint64_t> OffsetsOf(const TResult& Result) {
    std::vector<std::uint64_t> offsets;
    for (const auto& place : Result.Places)
        offsets.push_back(place.Offset);
    return offsets;
}

class TRecordingHost : public ScanHost {
  public:
    std::uint64_t KeepAlives = 0;
    std::vector<std::uint64_t> Opens;
    std::vector<std::uint64_t> Positions;
    int Closes = 0;
    // When not 0: the keep-alive call that brings the total to this number fails.
    std::uint64_t FailAtKeepAlive = 0;

    void KeepAlive(std::uint64_t count) override {
        KeepAlives += count;
        if (FailAtKeepAlive != 0 && KeepAlives >= FailAtKeepAlive) throw PwError("host failed");
    }
    void ProgressOpen(std::uint64_t maximum) override { Opens.push_back(maximum); }
    void ProgressPosition(std::uint64_t position) override { Positions.push_back(position); }
    void ProgressClose() override { ++Closes; }
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

class TTempDir {
  public:
    TTempDir() {
        static std::atomic<unsigned> counter{0};
        std::random_device rd;
        Path = std::filesystem::temp_directory_path() /
               ("pw-scan-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(Path);
    }
    ~TTempDir() {
        std::error_code ec;
        std::filesystem::permissions(Path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(Path, ec);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    std::string File(const std::string& Name) const { return (Path / Name).string(); }

    std::filesystem::path Path;
};

// A disk image of a given size (a sparse file: what is not written reads as zeros).
class TImage {
  public:
    TImage(std::string Path, std::uint64_t Size) : FPath(std::move(Path)) {
        std::ofstream out(FPath, std::ios::binary | std::ios::trunc);
        if (Size > 0) {
            out.seekp(static_cast<std::streamoff>(Size - 1));
            out.put('\0');
        }
        if (!out) throw std::runtime_error("cannot make image " + FPath);
    }

    TImage& Put(std::uint64_t Offset, const std::string& Bytes) {
        std::fstream io(FPath, std::ios::binary | std::ios::in | std::ios::out);
        io.seekp(static_cast<std::streamoff>(Offset));
        io.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
        if (!io) throw std::runtime_error("cannot write image " + FPath);
        return *this;
    }

    const std::string& Path() const { return FPath; }

  private:
    std::string FPath;
};

// A message in the stored form: header lines, an empty line, body lines, all ended by CR LF.
inline std::string MakeMessage(const std::string& From, const std::string& To,
                               const std::string& Subject, const std::string& Body) {
    std::string m = "From: " + From + "\r\nTo: " + To + "\r\nSubject: " + Subject +
                    "\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\n";
    std::size_t start = 0;
    while (start <= Body.size()) {
        const std::size_t nl = Body.find('\n', start);
        m += Body.substr(start, nl == std::string::npos ? std::string::npos : nl - start) + "\r\n";
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return m;
}

// A message of exactly Length bytes ending in CR LF: its one body line takes up the rest.
inline std::string MessageOfLength(std::size_t Length, const std::string& Subject = "sized") {
    std::string m = MakeMessage("a@example.org", "b@example.org", Subject, "");
    if (m.size() + 2 > Length) throw std::runtime_error("message too short to size");
    return m + std::string(Length - m.size() - 2, 'x') + "\r\n";
}
