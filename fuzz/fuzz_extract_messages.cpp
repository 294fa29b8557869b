// ExtractMessages over any text: every message begins with a known header line and ends with
// CR LF, its Body is a suffix of its FullText beginning with CR LF (or empty), and the FullTexts
// are consecutive pieces of the text running to its last complete line; all as the rule restated
// line by line cuts them.

#include <string>
#include <vector>

#include "engine/emailparser.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string_view text(reinterpret_cast<const char*>(Data), Size);
    static const TEmailParser parser;
    TEmailArray found;
    std::vector<std::size_t> starts;
    parser.ExtractMessages(text, found, &starts);
    FUZZ_CHECK(starts.size() == found.size());

    for (std::size_t i = 0; i < found.size(); ++i) {
        const TEmail& m = found[i];
        const std::string& full = m.FullText;
        FUZZ_CHECK(full.size() >= 2 && full.compare(full.size() - 2, 2, "\r\n") == 0);
        const std::size_t firstEnd = full.find("\r\n");
        FUZZ_CHECK(RefRules::RefIsKnownHeaderLine(std::string_view(full).substr(0, firstEnd + 2)));
        FUZZ_CHECK(m.Body.empty() ||
                   (m.Body.size() <= full.size() && m.Body.compare(0, 2, "\r\n") == 0 &&
                    full.compare(full.size() - m.Body.size(), m.Body.size(), m.Body) == 0));
        // Stored fields come from this message's header lines: each is empty or begins with the
        // space after the colon and lies within the FullText.
        for (const std::string* f : {&m.From, &m.To, &m.Subject, &m.Date})
            FUZZ_CHECK(f->empty() || ((*f)[0] == ' ' && full.find(*f) != std::string::npos));
        // Consecutive pieces: each starts where the one before ended.
        FUZZ_CHECK(text.substr(starts[i], full.size()) == full);
        if (i + 1 < found.size()) FUZZ_CHECK(starts[i] + full.size() == starts[i + 1]);
        // The start lies on a line start.
        FUZZ_CHECK(starts[i] == 0 || text.substr(starts[i] - 2, 2) == "\r\n");
    }
    if (!found.empty()) {
        // The last message runs to the last complete line: no CR LF after it.
        const std::size_t end = starts.back() + found.back().FullText.size();
        FUZZ_CHECK(text.find("\r\n", end) == std::string_view::npos);
    } else if (text.find("----- Original Message -----") == std::string_view::npos) {
        // No message and no quote marker: no line of the text is a known header line.
        std::size_t p = 0;
        for (std::size_t c; (c = text.find("\r\n", p)) != std::string_view::npos; p = c + 2)
            FUZZ_CHECK(!RefRules::RefIsKnownHeaderLine(text.substr(p, c + 2 - p)));
    }
    // The same cut as the rule restated line by line.
    std::vector<std::size_t> refStarts;
    FUZZ_CHECK(RefRules::RefExtract(std::string(text), refStarts) == found && refStarts == starts);
    // Asking for the starts changes nothing.
    TEmailArray again;
    parser.ExtractMessages(text, again);
    FUZZ_CHECK(again == found);
    return 0;
}
