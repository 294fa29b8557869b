// The deep rule's cut over any text, LF and CR LF lines, mbox separators and MIME parts alike:
// every message is a byte range of the text starting on a line start with a header line, the
// ranges come in order without overlapping, a text the start test accepts yields a message at
// its first header line, and the answer does not depend on asking for the starts. Over the same
// bytes the standard rule still cuts and starts exactly as the rule restated line by line does.

#include <string>
#include <vector>

#include "engine/DeepRule.h"
#include "engine/emailparser.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    TFuzzInput in(Data, Size);
    const std::uint32_t sector = 64u << (in.Byte() & 3); // 64 to 512
    const std::string_view text = in.Rest();
    static const TDeepRule deep;
    static const TEmailParser standard;

    std::string view(text.substr(0, TDeepRule::HeaderReach + sector));
    view.resize(TDeepRule::HeaderReach + sector, '\0');
    const std::size_t block = deep.HeaderBlockLength(view, sector);
    const bool opens = deep.IsMessageStart(view, sector);
    FUZZ_CHECK(!opens || (block > 0 && block <= text.size()));

    TEmailArray found;
    std::vector<std::size_t> starts;
    deep.ExtractMessages(text, found, &starts, opens);
    FUZZ_CHECK(starts.size() == found.size());
    std::size_t end = 0;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const std::string& full = found[i].FullText;
        FUZZ_CHECK(!full.empty() && full.back() == '\n');
        // A byte range of the text, after the one before.
        FUZZ_CHECK(starts[i] >= end && text.substr(starts[i], full.size()) == full);
        end = starts[i] + full.size();
        FUZZ_CHECK(starts[i] == 0 || text[starts[i] - 1] == '\n');
        // It opens with a header line; its body is its tail from an empty line.
        FUZZ_CHECK(RefRules::RefIsHeaderLine(std::string_view(full).substr(0, full.find('\n') + 1)));
        const std::string& body = found[i].Body;
        FUZZ_CHECK(body.empty() ||
                   (body.size() < full.size() && (body[0] == '\n' || body.compare(0, 2, "\r\n") == 0) &&
                    full.compare(full.size() - body.size(), body.size(), body) == 0));
    }
    if (opens) {
        // The accepted block opens the first message: at the text's start, or on the line after an
        // mbox separator.
        FUZZ_CHECK(!found.empty());
        FUZZ_CHECK(starts[0] == 0 || (text.substr(0, 5) == "From " && starts[0] == text.find('\n') + 1));
    }
    TEmailArray again;
    deep.ExtractMessages(text, again, nullptr, opens);
    FUZZ_CHECK(again == found);

    // The standard rule over the same bytes, unchanged.
    TEmailArray stdFound;
    std::vector<std::size_t> stdStarts, refStarts;
    standard.ExtractMessages(text, stdFound, &stdStarts);
    FUZZ_CHECK(RefRules::RefExtract(std::string(text), refStarts) == stdFound && refStarts == stdStarts);
    std::string window(text.substr(0, 2 * sector));
    window.resize(2 * sector, '\0');
    FUZZ_CHECK(standard.IsMessageStart(window, sector) == RefRules::RefIsMessageStart(window, sector));
    return 0;
}
