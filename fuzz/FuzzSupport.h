#pragma once

// Shared by the fuzz targets: an input reader, the failure that stops the fuzzer with the input
// kept, and the plain restatement of the rules to check the engine against.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tests/support/ReferenceRules.h"

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
