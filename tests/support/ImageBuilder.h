#pragma once

// Disk images written byte for byte where a test wants them, and messages in their stored form.

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>

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
