// Soak of the desktop program's window core: one process scans the same image again and again,
// the standard and the deep rule in turn, as a user would who keeps the program open all day.
// After each scan it prints the messages found, the resident memory now and at its peak, and
// checks that memory came back: the heap in use and (outside the sanitizers, see below) the
// resident size after any later scan may exceed the ones after the first scan of the same rule by
// a small margin only. Scans of the same rule must find the same messages.
//
//   soak_core [--trim] IMAGE [SCANS] [MARGIN_MIB]      (defaults: 10 scans, 16 MiB)
//
// --trim hands the allocator's free memory back to the system after each scan (malloc_trim, or
// the sanitizer allocator's purge), to tell memory kept by the allocator from memory in use. The
// heap column is the bytes allocated and not freed.
//
// Exits 1 on FAIL (memory grew, counts differ, an error box was shown), 2 on bad arguments.
// A tool run by hand or by bench/soak.sh, under the sanitizers too; not a test.

#include <sys/resource.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <malloc.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's own (GCC ships no header declaring them).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
extern "C" void __sanitizer_purge_allocator();
#endif

#include "ui/MainWindowCore.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif

// Answers every dialog as a user who exports nothing would, and keeps nothing of a scan but the
// boxes shown (there should be none).
class TSoakView : public TMainWindowView {
  public:
    void ShowMessage(TMessageKind Kind, const std::string& Title,
                     const std::string& Text) override {
        ++Boxes;
        std::cerr << (Kind == TMessageKind::Error ? "error box: " : "box: ") << Title << ": "
                  << Text << "\n";
    }
    bool AskYesNo(const std::string&, const std::string&) override { return false; }
    std::string BrowseFolder(const std::string&, const std::string&, bool) override { return {}; }
    std::string ChooseImage() override { return {}; }
    bool OpenDocument(const std::string&) override { return false; }
    std::string ProgramFolder() override { return {}; }
    void SetBusy(bool) override {}

    int Boxes = 0;
};

double Mib(std::uint64_t Bytes) {
    return static_cast<double>(Bytes) / (1024.0 * 1024.0);
}

// Resident now, from /proc/self/statm (its second field, in pages).
std::uint64_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

// The process's peak resident size so far.
std::uint64_t PeakBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024; // kilobytes on Linux
}

// Bytes the program has allocated and not freed: what a leak would grow, whatever the allocator
// keeps of freed memory.
std::uint64_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// Hands the allocator's free memory back to the system: under the sanitizers their allocator's
// quarantine and caches too.
void Trim() {
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_purge_allocator();
#else
    malloc_trim(0);
#endif
}

// What a user does with a fresh list: a look at the first, middle and last message (its text
// and details, which decode it) and a keyword filter over every stored message, then the whole
// list again. Answers the rows the filter kept.
std::size_t UseTheList(TMainWindowCore& Core) {
    const std::size_t rows = Core.Rows().size();
    if (rows == 0) return 0;
    for (const std::size_t row : {std::size_t{0}, rows / 2, rows - 1}) {
        (void)Core.PreviewView(row);
        (void)Core.DetailsText(row);
    }
    Core.ApplyFilter("shipment");
    const std::size_t kept = Core.Rows().size();
    Core.ClearFilter();
    return kept;
}

struct TScanFigures {
    std::size_t Found = 0;
    std::size_t Filtered = 0;
    std::uint64_t Resident = 0;
    std::uint64_t Heap = 0;
};

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool trim = false;
    if (!args.empty() && args[0] == "--trim") {
        trim = true;
        args.erase(args.begin());
    }
    if (args.empty() || args.size() > 3) {
        std::cerr << "usage: soak_core [--trim] IMAGE [SCANS] [MARGIN_MIB]\n";
        return 2;
    }
    const std::string image = args[0];
    const int scans = args.size() > 1 ? std::atoi(args[1].c_str()) : 10;
    const double marginMib = args.size() > 2 ? std::atof(args[2].c_str()) : 16.0;
    if (scans < 2 || marginMib < 0) {
        std::cerr << "soak_core: at least 2 scans and a margin of 0 MiB or more\n";
        return 2;
    }

    TSoakView view;
    TMainWindowCore core(view, [&image] { return TDriveArray{image}; });
    core.ListDrives();
    if (core.Drives().size() != 1) {
        std::cerr << "soak_core: the image was not listed\n";
        return 2;
    }

    std::printf("soak: %s, %d scans, standard and deep in turn%s; resident at start %.1f MiB\n",
                image.c_str(), scans, trim ? ", free memory handed back after each" : "",
                Mib(ResidentBytes()));
    std::printf("%4s %-8s %9s %9s %9s %9s %9s %7s\n", "scan", "rule", "messages", "filtered",
                "heap MiB", "rss MiB", "peak MiB", "seconds");

    bool failed = false;
    // The first scan of each rule sets what every later one of that rule must find, and the
    // memory it may come back to: a list of a million messages is rightly larger than one of
    // two hundred thousand, but the tenth scan must not hold more than the first.
    std::optional<TScanFigures> first[2];
    auto check = [&](const char* What, int K, std::uint64_t Now, std::uint64_t Then, int FirstK) {
        if (Mib(Now) <= Mib(Then) + marginMib) return;
        std::printf("  FAIL: %s %.1f MiB after scan %d, %.1f MiB more than after scan %d "
                    "(margin %.0f MiB)\n",
                    What, Mib(Now), K, Mib(Now) - Mib(Then), FirstK, marginMib);
        failed = true;
    };
    for (int k = 1; k <= scans; ++k) {
        const bool deep = k % 2 == 0;
        core.SetRule(deep ? TCarvingRule::Deep : TCarvingRule::Standard);
        const auto begun = std::chrono::steady_clock::now();
        const int boxesBefore = view.Boxes;
        core.Guarded([&] { core.Scan(0); });
        TScanFigures figures;
        figures.Found = core.Emails().size();
        figures.Filtered = UseTheList(core);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        if (trim) Trim();
        figures.Resident = ResidentBytes();
        figures.Heap = HeapInUse();
        std::printf("%4d %-8s %9zu %9zu %9.1f %9.1f %9.1f %7.1f\n", k, deep ? "deep" : "standard",
                    figures.Found, figures.Filtered, Mib(figures.Heap), Mib(figures.Resident),
                    Mib(PeakBytes()), seconds);
        std::fflush(stdout);

        if (view.Boxes != boxesBefore) {
            std::printf("  FAIL: scan %d showed a box (see above)\n", k);
            failed = true;
        }
        if (figures.Found == 0) {
            std::printf("  FAIL: scan %d found nothing\n", k);
            failed = true;
        }
        std::optional<TScanFigures>& same = first[deep ? 1 : 0];
        if (!same) {
            same = figures;
            continue;
        }
        const int firstK = deep ? 2 : 1;
        if (same->Found != figures.Found || same->Filtered != figures.Filtered) {
            std::printf("  FAIL: scan %d found %zu (%zu filtered), scan %d %zu (%zu)\n", k,
                        figures.Found, figures.Filtered, firstK, same->Found, same->Filtered);
            failed = true;
        }
        // Under the sanitizers the resident size also holds their own bookkeeping (the shadow of
        // every address the heap ever reached, the store of allocation stacks), which is never
        // handed back and grows by itself; there the heap in use is what the program holds.
        if (!Sanitized) check("resident", k, figures.Resident, same->Resident, firstK);
        check("heap in use", k, figures.Heap, same->Heap, firstK);
    }
    std::printf("peak resident %.1f MiB\n%s\n", Mib(PeakBytes()), failed ? "FAIL" : "PASS");
    return failed ? 1 : 0;
}
