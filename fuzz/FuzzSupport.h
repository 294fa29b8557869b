#pragma once

// Shared by the fuzz targets: an input reader, a plain restatement of the header-line rule to
// check the engine against, and the failure that stops the fuzzer with the input kept.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond);      \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// Takes leading bytes off a fuzz input; answers zeros once it runs dry.
class TFuzzInput {
  public:
    TFuzzInput(const std::uint8_t* Data, std::size_t Size)
        : FData(reinterpret_cast<const char*>(Data), Size) {}
    std::uint8_t Byte() {
        if (FData.empty()) return 0;
        const auto b = static_cast<std::uint8_t>(FData[0]);
        FData.remove_prefix(1);
        return b;
    }
    std::uint32_t Word() { return Byte() | (std::uint32_t{Byte()} << 8); }
    std::string_view Take(std::size_t N) {
        N = std::min(N, FData.size());
        const std::string_view s = FData.substr(0, N);
        FData.remove_prefix(N);
        return s;
    }
    std::string_view Rest() { return Take(FData.size()); }

  private:
    std::string_view FData;
};

// The header-line rule as written: a colon not first, no space first, a space after the colon,
// printable name bytes; known when the upper-cased name is one of the ten.
inline bool IsKnownHeaderLine(std::string_view Line) {
    const std::size_t k = Line.find(':');
    if (k == std::string_view::npos || k == 0 || Line[0] == ' ') return false;
    if (k + 1 >= Line.size() || Line[k + 1] != ' ') return false;
    std::string name;
    for (std::size_t i = 0; i < k; ++i) {
        const auto c = static_cast<unsigned char>(Line[i]);
        if (c < 0x21 || c > 0x7E) return false;
        name += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    for (const char* known : {"RETURN-PATH", "REPLY-TO", "ENVELOPE-TO", "DELIVERY-DATE", "RECEIVED",
                              "MESSAGE-ID", "FROM", "TO", "SUBJECT", "DATE"})
        if (name == known) return true;
    return false;
}

inline bool IsHeaderLine(std::string_view Line) {
    const std::size_t k = Line.find(':');
    if (k == std::string_view::npos || k == 0 || Line[0] == ' ') return false;
    if (k + 1 >= Line.size() || Line[k + 1] != ' ') return false;
    for (std::size_t i = 0; i < k; ++i) {
        const auto c = static_cast<unsigned char>(Line[i]);
        if (c < 0x21 || c > 0x7E) return false;
    }
    return true;
}
