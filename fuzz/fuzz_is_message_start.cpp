// IsMessageStart over any window, with 512- and 4096-byte sectors, against the rule restated
// plainly: line 0 opens the block (its CR LF within the first sector), at least three known header
// lines, and an empty line closing it inside the window.

#include <string>

#include "engine/emailparser.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    TFuzzInput in(Data, Size);
    const std::uint32_t sector = (in.Byte() & 1) ? 4096 : 512;
    const std::string window(in.Rest()); // any length, not only two sectors
    static const TEmailParser parser;
    const bool start = parser.IsMessageStart(window, sector);
    FUZZ_CHECK(start == RefRules::RefIsMessageStart(window, sector));
    if (start) {
        // A start is a header line of a known name on the first byte, ended within the sector.
        const std::size_t end = window.find("\r\n");
        FUZZ_CHECK(end + 2 <= sector);
        FUZZ_CHECK(RefRules::RefIsKnownHeaderLine(std::string_view(window).substr(0, end + 2)));
        // ...and the carver then cuts a message from that very byte.
        TEmailArray found;
        std::vector<std::size_t> starts;
        parser.ExtractMessages(window, found, &starts);
        FUZZ_CHECK(!found.empty() && starts[0] == 0);
    }
    return 0;
}
