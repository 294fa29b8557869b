// SearchText with any pattern, text, start and case flag against std::string::find, and against
// find over both strings folded through UpperTable; FindLineEnd against find of CR LF.

#include <string>

#include "disk/Error.h"
#include "engine/FastStrings.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    TFuzzInput in(Data, Size);
    const std::uint8_t flags = in.Byte();
    const bool caseSensitive = flags & 1;
    const std::size_t start = in.Word() % 4100;
    const std::string pattern(in.Take(in.Byte() % 64));
    const std::string text(in.Rest());

    if (pattern.empty()) {
        bool raised = false;
        try {
            SearchText(pattern, text, caseSensitive, start);
        } catch (const TPwError& e) {
            raised = std::string(e.what()) == "BufferLen is 0";
        }
        FUZZ_CHECK(raised);
        return 0;
    }
    const std::size_t from = start < 1 ? 0 : start - 1;
    std::size_t expected;
    if (caseSensitive) {
        expected = text.find(pattern, from);
    } else {
        std::string p = pattern, t = text;
        for (char& c : p)
            c = static_cast<char>(UpperTable[static_cast<unsigned char>(c)]);
        for (char& c : t)
            c = static_cast<char>(UpperTable[static_cast<unsigned char>(c)]);
        expected = t.find(p, from);
    }
    const std::size_t got = SearchText(pattern, text, caseSensitive, start);
    FUZZ_CHECK(got == (expected == std::string::npos ? 0 : expected + 1));
    if (caseSensitive) {
        // The same answer through the prepared table and with a text length cut short.
        TSkipTable table;
        BuildSkipTable(reinterpret_cast<const unsigned char*>(pattern.data()), pattern.size(),
                       table);
        FUZZ_CHECK(ForwardSearchPrepared(text, pattern, table, start) == got);
        const std::size_t cut = flags >> 1;
        const std::size_t shortExpected = text.substr(0, cut).find(pattern, from);
        FUZZ_CHECK(ForwardSearch(text, pattern, cut, pattern.size(), start) ==
                   (shortExpected == std::string::npos ? 0 : shortExpected + 1));
    }
    const std::size_t lineEnd = text.find("\r\n", from);
    FUZZ_CHECK(FindLineEnd(text, start) == (lineEnd == std::string::npos ? 0 : lineEnd + 1));
    return 0;
}
