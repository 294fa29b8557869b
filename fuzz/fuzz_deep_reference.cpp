// The deep rule against its plain line-by-line form (tests/support/ReferenceDeep.h): over any
// bytes, the cut of the run (accepted at its start or not, ending anywhere), the text run measured
// from every place, the block length, the start test and the scan's start answer, asked sector
// after sector, and the run a deep start gives, measured and cut, are exactly the plain form's.

#include <algorithm>
#include <string>

#include "engine/DeepRule.h"
#include "engine/emailparser.h"
#include "fuzz/FuzzSupport.h"
#include "tests/support/ReferenceDeep.h"

namespace {

// The same messages, each the same views of the run: text, body and the four fields.
void CheckSameCuts(const TCutList& Fast, const TCutList& Plain) {
    FUZZ_CHECK(Fast.size() == Plain.size());
    for (std::size_t i = 0; i < Fast.size(); ++i) {
        FUZZ_CHECK(Fast[i].DriveOffset == Plain[i].DriveOffset);
        FUZZ_CHECK(Fast[i].FullText.data() == Plain[i].FullText.data() &&
                   Fast[i].FullText.size() == Plain[i].FullText.size());
        FUZZ_CHECK(Fast[i].Body == Plain[i].Body);
        for (int f = 0; f < 4; ++f)
            FUZZ_CHECK(Fast[i].Fields[f].data() == Plain[i].Fields[f].data() &&
                       Fast[i].Fields[f].size() == Plain[i].Fields[f].size());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    TFuzzInput in(Data, Size);
    const std::uint32_t sector = 64u << (in.Byte() & 3); // 64 to 512
    const std::size_t cutAt = in.Word();
    const std::string text(in.Rest());
    static const TEmailParser standard;

    for (const std::size_t end : {text.size(), text.empty() ? 0 : cutAt % text.size()}) {
        const TByteRun run{end, std::string_view(text).substr(0, end)};
        for (const bool opens : {false, true}) {
            TCutList fast, plain;
            TDeepRule().ExtractCuts(run, fast, opens);
            RefDeep::Cut(run, plain, opens);
            CheckSameCuts(fast, plain);
        }
    }
    for (std::size_t from = 0; from <= text.size(); ++from)
        FUZZ_CHECK(TDeepRule::TextRunLength(std::string_view(text).substr(from)) ==
                   RefDeep::TextRunLength(std::string_view(text).substr(from)));

    std::string padded;
    const TDriveFetch fetch = [&](std::uint64_t Offset, std::uint32_t Count) {
        padded.assign(text, std::min<std::size_t>(Offset, text.size()), Count);
        padded.resize(Count, '\0');
        return std::string_view(padded);
    };
    TDeepRule deep;
    for (std::size_t offset = 0; offset < text.size(); offset += sector) {
        std::string view = text.substr(offset, sector + TDeepRule::HeaderReach);
        view.resize(sector + TDeepRule::HeaderReach, '\0');
        FUZZ_CHECK(deep.HeaderBlockLength(view, sector) ==
                   RefDeep::HeaderBlockLength(view, sector));
        const auto expected = RefDeep::StartsAt(text, offset, sector, [&](const std::string& w) {
            return standard.IsMessageStart(w, sector);
        });
        if (!deep.MayStart(static_cast<unsigned char>(text[offset]))) {
            FUZZ_CHECK(expected == RefDeep::TStartAnswer::None);
            continue;
        }
        std::string window = text.substr(offset, 2 * sector);
        window.resize(2 * sector, '\0');
        const TRule* got = deep.StartsAt({offset, window}, sector, fetch);
        const auto answer = got == nullptr                      ? RefDeep::TStartAnswer::None
                            : got->Kind() == TCarvingRule::Deep ? RefDeep::TStartAnswer::Deep
                                                                : RefDeep::TStartAnswer::Standard;
        FUZZ_CHECK(answer == expected);
        if (answer != RefDeep::TStartAnswer::Deep) continue;
        // Measured and cut right after the start test, as a scan does.
        const std::size_t length = got->MeasureRun(
            deep.KnownText(), 2 * sector,
            [&](std::size_t At, std::size_t Count) {
                return std::string_view(text).substr(std::min(offset + At, text.size()), Count);
            },
            [](std::size_t) {});
        FUZZ_CHECK(length == RefDeep::TextRunLength(std::string_view(text).substr(offset)));
        const TByteRun run{offset, std::string_view(text).substr(offset, length)};
        TCutList fast, plain;
        got->Carve(run, fast);
        RefDeep::Cut(run, plain, true);
        CheckSameCuts(fast, plain);
    }
    return 0;
}
