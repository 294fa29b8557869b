// The engine's hot paths, each beside a baseline measured in the same run; after the runs a list
// of "ratio" lines compares them:
//   - the start test per sector on zeros, random bytes, header-less CR LF text and real header
//     blocks, against touching the sector's bytes (the least any scan must do) and against a
//     plain line walk built from the public parts;
//   - the CR LF search over 20 MiB, against memmem and std::search;
//   - cutting 2 MiB and 20 MiB runs into messages (linear: the ratio should be near 10; caches
//     push it somewhat higher, as the 20 MiB run and its 40 MiB of copies outgrow them), and the
//     20 MiB run cut at once against the same bytes cut in ten slices (linear: near 1).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/FastStrings.h"
#include "engine/emailparser.h"

namespace {

constexpr std::size_t SectorSize = 512;
constexpr std::size_t Sectors = 16384; // 8 MiB of sectors per pass
constexpr std::size_t MiB = 1024 * 1024;

const char* Words[] = {"the",     "quick", "brown",   "fox",      "jumps",   "over",  "lazy",
                       "dog",     "Sent",  "From",    "message",  "To",      "data",  "Re",
                       "Regards", "Dear",  "meeting", "tomorrow", "Subject", "Monday"};

std::string TextLine(std::mt19937& rng) {
    std::string line;
    const std::size_t target = 40 + rng() % 40;
    while (line.size() < target) {
        if (!line.empty()) line += ' ';
        line += Words[rng() % std::size(Words)];
    }
    return line + "\r\n";
}

std::string Message(std::mt19937& rng, std::size_t n) {
    std::string m =
        "Return-Path: <sender" + std::to_string(n) + "@example.com>\r\n" +
        "Received: from mail.example.com by mx.example.org\r\n" + "Message-ID: <" +
        std::to_string(n) + "@example.com>\r\n" + "From: Sender <sender@example.com>\r\n" +
        "To: Reader <reader@example.org>\r\n" + "Subject: Note number " + std::to_string(n) +
        "\r\n" + "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\n" + "X-Mailer: Mailer 1.0\r\n\r\n";
    const std::size_t lines = 10 + rng() % 40;
    for (std::size_t i = 0; i < lines; ++i) {
        if (i == lines / 2 && n % 3 == 0) {
            m += "----- Original Message -----\r\nFrom: Other <o@example.net>\r\n"
                 "To: Sender <sender@example.com>\r\nSubject: Earlier\r\n\r\n";
        }
        m += TextLine(rng);
    }
    return m;
}

// Messages back to back, cut at a line end to the given size.
std::string MessageRun(std::size_t size) {
    std::mt19937 rng(7);
    std::string run;
    for (std::size_t n = 0; run.size() < size; ++n)
        run += Message(rng, n);
    run.resize(size);
    return run;
}

enum class Kind { Zeros, Random, Text, Headers };

// Sector-aligned bytes of one kind, with one spare sector so every window is two sectors long.
const std::string& SectorData(Kind kind) {
    static std::map<Kind, std::string> cache;
    auto& s = cache[kind];
    if (!s.empty()) return s;
    const std::size_t size = (Sectors + 1) * SectorSize;
    std::mt19937 rng(1);
    switch (kind) {
    case Kind::Zeros:
        s.assign(size, '\0');
        break;
    case Kind::Random:
        s.resize(size);
        for (char& c : s)
            c = static_cast<char>(rng());
        break;
    case Kind::Text:
        while (s.size() < size)
            s += TextLine(rng);
        s.resize(size);
        break;
    case Kind::Headers: // every sector opens a header block
        for (std::size_t n = 0; s.size() < size; ++n) {
            std::string m = Message(rng, n);
            m.resize(SectorSize);
            s += m;
        }
        s.resize(size);
        break;
    }
    return s;
}

void StartTest(benchmark::State& state, Kind kind) {
    const std::string& data = SectorData(kind);
    const TEmailParser parser;
    std::size_t yes = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < Sectors; ++i)
            yes += parser.IsMessageStart(
                std::string_view(data).substr(i * SectorSize, 2 * SectorSize), SectorSize);
        benchmark::DoNotOptimize(yes);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * Sectors));
    state.counters["accepted"] = static_cast<double>(yes) / static_cast<double>(state.iterations());
}

// The same sectors again and again from a small, cache-resident slice: the test's own cost, apart
// from fetching the bytes from memory.
void StartTestCached(benchmark::State& state, Kind kind) {
    constexpr std::size_t Slice = 64;
    const std::string& data = SectorData(kind);
    const TEmailParser parser;
    std::size_t yes = 0;
    for (auto _ : state) {
        for (std::size_t r = 0; r < Sectors / Slice; ++r)
            for (std::size_t i = 0; i < Slice; ++i)
                yes += parser.IsMessageStart(
                    std::string_view(data).substr(i * SectorSize, 2 * SectorSize), SectorSize);
        benchmark::DoNotOptimize(yes);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * Sectors));
}

// The plain walk: public parts, a string per line, Horspool for each line end.
bool PlainStartTest(std::string_view window, std::size_t sectorSize) {
    std::size_t p = 1, i = 0;
    int count = 0;
    bool inHeader = false;
    for (;;) {
        const std::size_t c = ForwardSearch(window, "\r\n", window.size(), 2, p);
        if (c == 0) return false;
        const TRPCField f = TEmailParser::ParseHeaderLine(window.substr(p - 1, c + 2 - p));
        if (f.IsField && TEmailParser::IsKnownHeader(f)) {
            if (!inHeader && c < sectorSize && i == 0) {
                inHeader = true;
                count = 1;
            } else if (inHeader) {
                ++count;
            }
        }
        if (!f.IsField && c == p && inHeader) return count >= 3;
        p = c + 2;
        ++i;
    }
}

void PlainWalk(benchmark::State& state, Kind kind) {
    const std::string& data = SectorData(kind);
    std::size_t yes = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < Sectors; ++i)
            yes += PlainStartTest(std::string_view(data).substr(i * SectorSize, 2 * SectorSize),
                                  SectorSize);
        benchmark::DoNotOptimize(yes);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * Sectors));
}

// The least a scan does per sector: look at each of its bytes once.
void TouchSector(benchmark::State& state, Kind kind) {
    const std::string& data = SectorData(kind);
    for (auto _ : state) {
        unsigned sum = 0;
        for (std::size_t i = 0; i < Sectors * SectorSize; ++i)
            sum += static_cast<unsigned char>(data[i]);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * Sectors));
}

const std::string& Run20() {
    static const std::string run = MessageRun(20 * MiB);
    return run;
}

// Every line end of 20 MiB of mail, found one after another.
void LineEnds(benchmark::State& state,
              const std::function<std::size_t(std::string_view, std::size_t)>& find) {
    const std::string& text = Run20();
    for (auto _ : state) {
        std::size_t lines = 0;
        for (std::size_t p = 1;;) {
            const std::size_t c = find(text, p);
            if (c == 0) break;
            ++lines;
            p = c + 2;
        }
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

std::size_t ViaSearchText(std::string_view t, std::size_t p) {
    return SearchText("\r\n", t, true, p);
}
std::size_t ViaFindLineEnd(std::string_view t, std::size_t p) {
    return FindLineEnd(t, p);
}
std::size_t ViaMemmem(std::string_view t, std::size_t p) {
    if (p > t.size()) return 0;
    const void* hit = memmem(t.data() + p - 1, t.size() - (p - 1), "\r\n", 2);
    return hit == nullptr ? 0
                          : static_cast<std::size_t>(static_cast<const char*>(hit) - t.data()) + 1;
}
std::size_t ViaStdSearch(std::string_view t, std::size_t p) {
    static const char crlf[] = "\r\n";
    const auto hit =
        std::search(t.begin() + static_cast<std::ptrdiff_t>(p - 1), t.end(), crlf, crlf + 2);
    return hit == t.end() ? 0 : static_cast<std::size_t>(hit - t.begin()) + 1;
}

// One search over 20 MiB holding no CR LF at all: the whole text is skipped through.
void NoLineEnd(benchmark::State& state,
               const std::function<std::size_t(std::string_view, std::size_t)>& find) {
    static const std::string text = [] {
        std::string t = Run20();
        std::replace(t.begin(), t.end(), '\n', ' ');
        return t;
    }();
    for (auto _ : state)
        benchmark::DoNotOptimize(find(text, 1));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void Extract(benchmark::State& state) {
    const std::string run = MessageRun(static_cast<std::size_t>(state.range(0)) * MiB);
    const TEmailParser parser;
    std::size_t messages = 0;
    for (auto _ : state) {
        TEmailArray found;
        parser.ExtractMessages(run, found);
        messages = found.size();
        benchmark::DoNotOptimize(found.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * run.size()));
    state.counters["messages"] = static_cast<double>(messages);
}

// The same 20 MiB cut as ten runs of 2 MiB (split at line ends), results kept as for one run:
// equal bytes and equal memory traffic, so against cutting it at once the ratio is ~1 when the
// cut is linear (a quadratic cut would make it ~10), whatever the caches do.
void ExtractSlices(benchmark::State& state) {
    const std::string run = MessageRun(20 * MiB);
    std::vector<std::string_view> slices;
    for (std::size_t from = 0; from < run.size();) {
        std::size_t to = std::min(run.size(), from + 2 * MiB);
        const std::size_t lineEnd = run.find("\r\n", to);
        to = lineEnd == std::string::npos ? run.size() : lineEnd + 2;
        slices.push_back(std::string_view(run).substr(from, to - from));
        from = to;
    }
    const TEmailParser parser;
    for (auto _ : state) {
        std::vector<TEmailArray> found(slices.size());
        for (std::size_t i = 0; i < slices.size(); ++i)
            parser.ExtractMessages(slices[i], found[i]);
        benchmark::DoNotOptimize(found.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * run.size()));
    state.counters["slices"] = static_cast<double>(slices.size());
}

BENCHMARK_CAPTURE(StartTest, zeros, Kind::Zeros)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(StartTest, random, Kind::Random)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(StartTest, text, Kind::Text)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(StartTest, headers, Kind::Headers)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(StartTestCached, zeros, Kind::Zeros)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(StartTestCached, random, Kind::Random)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(StartTestCached, text, Kind::Text)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(StartTestCached, headers, Kind::Headers)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PlainWalk, zeros, Kind::Zeros)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PlainWalk, random, Kind::Random)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PlainWalk, text, Kind::Text)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PlainWalk, headers, Kind::Headers)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(TouchSector, random, Kind::Random)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(LineEnds, SearchText, ViaSearchText)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LineEnds, FindLineEnd, ViaFindLineEnd)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LineEnds, memmem, ViaMemmem)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LineEnds, std_search, ViaStdSearch)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NoLineEnd, SearchText, ViaSearchText)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NoLineEnd, FindLineEnd, ViaFindLineEnd)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NoLineEnd, memmem, ViaMemmem)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NoLineEnd, std_search, ViaStdSearch)->Unit(benchmark::kMillisecond);
BENCHMARK(Extract)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(20)->Unit(benchmark::kMillisecond);
BENCHMARK(ExtractSlices)->Unit(benchmark::kMillisecond);

// Keeps each run's CPU time (seconds per iteration; steadier than wall time on a shared machine)
// for the ratios printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration)
                seconds[r.benchmark_name()] =
                    r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
        ConsoleReporter::ReportRuns(runs);
    }
};

void PrintRatio(const RatioReporter& rep, const std::string& what, const std::string& a,
                const std::string& b) {
    const auto x = rep.seconds.find(a), y = rep.seconds.find(b);
    if (x == rep.seconds.end() || y == rep.seconds.end() || y->second <= 0) return;
    std::printf("ratio %-52s %8.3f   (%s / %s)\n", what.c_str(), x->second / y->second, a.c_str(),
                b.c_str());
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n");
    for (const char* kind : {"zeros", "random", "text", "headers"}) {
        for (const char* how : {"StartTest/", "StartTestCached/", "PlainWalk/"}) {
            const auto it = reporter.seconds.find(std::string(how) + kind);
            if (it != reporter.seconds.end())
                std::printf("ns per sector, %-24s %8.2f\n", (std::string(how) + kind).c_str(),
                            it->second * 1e9 / static_cast<double>(Sectors));
        }
    }
    for (const char* kind : {"zeros", "random", "text", "headers"}) {
        PrintRatio(reporter, std::string("start test / touching the sector, ") + kind,
                   std::string("StartTest/") + kind, "TouchSector/random");
        PrintRatio(reporter, std::string("start test / plain line walk, ") + kind,
                   std::string("StartTest/") + kind, std::string("PlainWalk/") + kind);
    }
    for (const char* how : {"SearchText", "FindLineEnd"}) {
        PrintRatio(reporter, std::string("every line end, ") + how + " / memmem",
                   std::string("LineEnds/") + how, "LineEnds/memmem");
        PrintRatio(reporter, std::string("every line end, ") + how + " / std::search",
                   std::string("LineEnds/") + how, "LineEnds/std_search");
        PrintRatio(reporter, std::string("20 MiB without CR LF, ") + how + " / memmem",
                   std::string("NoLineEnd/") + how, "NoLineEnd/memmem");
        PrintRatio(reporter, std::string("20 MiB without CR LF, ") + how + " / std::search",
                   std::string("NoLineEnd/") + how, "NoLineEnd/std_search");
    }
    PrintRatio(reporter, "cutting 20 MiB / cutting 2 MiB (linear: ~10)", "Extract/20", "Extract/2");
    PrintRatio(reporter, "cutting 20 MiB / ten 2 MiB slices of it (linear: ~1)", "Extract/20",
               "ExtractSlices");
    benchmark::Shutdown();
    return 0;
}
