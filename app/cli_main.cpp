// parcelwright-cli: the command-line scanner. A thin layer over the engine: the same scan, the same
// list rules and the same export as the desktop program.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "CliFormat.h"
#include "CliProgress.h"
#include "CliTarget.h"
#include "DiskBuffer.h"
#include "DriveProbe.h"
#include "Error.h"
#include "Export.h"
#include "GetDrives.h"
#include "ResultView.h"
#include "ScanHardDisk.h"
#include "SystemLayer.h"
#include "Terminal.h"

namespace {

constexpr const char* kProgram = "parcelwright-cli";
constexpr std::uint32_t kBufferSize = 20971520;

struct TScanOptions {
    std::string Target;
    std::uint32_t SectorSize = 0;
    std::string Keyword;
    std::string Sort;
    bool Descending = false;
    bool Json = false;
    bool Deep = false;
    std::string ExportDir;
    std::string Items;
    bool All = false;
};

void Fail(const std::string& Subject, const std::string& Cause) {
    std::cerr << kProgram << ": " << Subject << ": " << Cause << "\n";
}

int RunDrives() {
    for (const std::string& drive : TGetDrives().ListDrives())
        std::cout << drive << "\n";
    return 0;
}

int RunScan(const TScanOptions& Opt) {
    // Settle everything the user asked for before the scan, so a mistake costs no scan time.
    std::optional<TResultColumn> column;
    if (!Opt.Sort.empty()) {
        column = ColumnFromName(Opt.Sort);
        if (!column) {
            std::cerr << kProgram << ": --sort: unknown column \"" << Opt.Sort
                      << "\" (item, date, from, to, subject)\n";
            return 2;
        }
    }
    std::optional<std::vector<std::size_t>> chosen;
    if (!Opt.Items.empty()) {
        chosen = ParseRowList(Opt.Items);
        if (!chosen) {
            std::cerr << kProgram
                      << ": --items: expected row positions such as 0,3,7 or 2-5, got \""
                      << Opt.Items << "\"\n";
            return 2;
        }
    }
    if (!Opt.ExportDir.empty()) {
        const std::string problem = ProbeExportFolder(Opt.ExportDir);
        if (!problem.empty()) {
            Fail(Opt.ExportDir, "cannot write to the export folder: " + problem);
            return 1;
        }
    }
    // One probe opens the target for the whole scan.
    TDriveProbe probe = ProbeDrive(PlatformSystem(), Opt.Target, Opt.SectorSize);
    if (!probe.Ok()) {
        Fail(Opt.Target, probe.Reason);
        return 1;
    }
    for (const std::string& warning : TargetWarnings(probe))
        Fail(Opt.Target, warning);

    const bool terminal = IsTerminal(2);
    TCliProgress progress(std::cerr, terminal, 0);
    TEmailArray emails;
    std::vector<std::uint64_t> offsets;
    std::vector<std::string> rules;
    std::uint64_t unreadable = 0;
    try {
        auto buffer = std::make_unique<TDiskBuffer>(std::move(probe), kBufferSize);
        progress.SetSectorSize(buffer->SectorSize());
        TScanHardDisk scan(std::move(buffer), progress);
        scan.SetDeepScan(Opt.Deep);
        emails = scan.ScanDrive();
        offsets = scan.Offsets();
        for (TCarvingRule rule : scan.Rules())
            rules.emplace_back(CarvingRuleName(rule));
        unreadable = scan.UnreadableSectors();
    } catch (const PwError& e) {
        Fail(Opt.Target, e.what());
        return 1;
    } catch (const std::bad_alloc&) {
        Fail(Opt.Target, "out of memory");
        return 1;
    }

    std::vector<std::size_t> rows = FilterItems(emails, Opt.Keyword);
    if (column) SortItems(rows, emails, *column, !Opt.Descending);

    if (Opt.Json)
        std::cout << FormatJson(emails, offsets, rows, rules);
    else
        std::cout << FormatTable(emails, rows);
    std::cout.flush();

    int status = 0;
    if (terminal)
        std::cerr << kProgram << ": " << emails.size() << " messages found, " << rows.size()
                  << " shown\n";
    if (unreadable > 0)
        std::cerr << kProgram << ": " << Opt.Target << ": " << unreadable
                  << " unreadable sectors (read as zeros)\n";

    if (!Opt.ExportDir.empty()) {
        std::vector<TExportRow> toWrite;
        std::vector<std::size_t> positions;
        if (Opt.All) {
            for (std::size_t p = 0; p < rows.size(); ++p)
                positions.push_back(p);
        } else {
            positions = *chosen;
        }
        for (std::size_t p : positions) {
            if (p >= rows.size()) {
                std::cerr << kProgram << ": --items: row " << p << " is not in the list ("
                          << rows.size() << " rows shown); nothing exported\n";
                return 2;
            }
            toWrite.push_back({p, rows[p]});
        }
        const TExportReport report = ExportRows(Opt.ExportDir, emails, toWrite);
        if (!report.FolderError.empty()) {
            Fail(Opt.ExportDir, "cannot write to the export folder: " + report.FolderError);
            return 1;
        }
        for (const TExportFailure& f : report.Failures)
            Fail(f.File, "not written: " + f.Reason);
        if (!report.Ok()) {
            std::cerr << kProgram << ": " << report.Failures.size() << " of " << toWrite.size()
                      << " files could not be written to " << Opt.ExportDir << "\n";
            status = 1;
        } else {
            std::cerr << kProgram << ": " << report.Written << " messages exported to "
                      << Opt.ExportDir << "\n";
        }
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Recovers e-mail messages, deleted ones above all, by reading a drive or a disk "
                 "image raw, sector by sector, and carving the stored messages out of the bytes.",
                 kProgram};
    app.require_subcommand(1);
    app.footer("Exit status: 0 success; 1 error (the target cannot be read, the export failed); "
               "2 wrong usage.\n"
               "Reading a block device needs the right to read it (for instance membership of the "
               "\"disk\" group, or root).\n"
               "Run '" +
               std::string(kProgram) + " scan --help' for the scan's options.\n");

    CLI::App* drives =
        app.add_subcommand("drives", "List the drives that can be read now, one per line.");

    TScanOptions opt;
    CLI::App* scan = app.add_subcommand(
        "scan", "Scan a drive, block device or disk image and list the messages found, in found "
                "order: \"Item Num\", \"Date\", \"From\", \"To\", \"Subject\". The progress bar "
                "goes to standard error when that is a terminal.");
    scan->add_option("TARGET", opt.Target,
                     "A drive listed by 'drives', a block device (/dev/sdb1) or an image file (raw, "
                     "or the first file of an EWF set: image.E01)")
        ->required();
    scan->add_option("--sector-size", opt.SectorSize,
                     "Bytes per sector of an image file (default 512, or what an EWF image "
                     "stores); a block device has its own, and a different one is refused")
        ->check([](const std::string& s) -> std::string {
            unsigned long v = 0;
            try {
                v = std::stoul(s);
            } catch (const std::exception&) {
                return "not a number";
            }
            if (v < 256 || v > 65536 || (v & (v - 1)) != 0)
                return "must be a power of two from 256 to 65536";
            return {};
        });
    scan->add_option("--keyword,-k", opt.Keyword,
                     "Show only messages whose body holds this text, ignoring case")
        // An empty keyword (an unset shell variable, say) would silently show every row.
        ->check([](const std::string& s) -> std::string {
            return s.empty() ? "must not be empty" : "";
        });
    scan->add_option("--sort", opt.Sort,
                     "Sort the rows by a column: item (by number), date, from, to or subject "
                     "(by text, ignoring case); ascending unless --descending");
    CLI::Option* desc = scan->add_flag("--descending", opt.Descending, "Sort in descending order");
    scan->add_flag("--json", opt.Json,
                   "Print one JSON array instead of the table: an object per row with item, "
                   "offset (drive byte offset of the message's first line), rule (\"standard\" "
                   "or \"deep\": the carving rule that found it), date, from, to, subject, body "
                   "and fulltext. Each stored byte is the character of the same code (U+0000 to "
                   "U+00FF), so the bytes can be recovered exactly");
    scan->add_flag("--deep", opt.Deep,
                   "Deep scan: also recover messages with long header blocks (chains of Received "
                   "lines), 8-bit bodies and quoted replies, cutting each one exactly; where it "
                   "finds no message, the standard rule is still applied");
    CLI::Option* exp = scan->add_option(
        "--export", opt.ExportDir,
        "Write chosen rows to this folder as RecoveredEmail<row>.eml (row = position in the list "
        "as shown, from 0), each holding the stored message byte for byte. The folder is tested "
        "before the scan; success is reported only when every file was written");
    CLI::Option* items = scan->add_option(
        "--items", opt.Items, "Rows to export, by position in the list as shown: 0,3,7 or 2-5");
    CLI::Option* all = scan->add_flag("--all", opt.All, "Export every row shown");
    desc->needs(scan->get_option("--sort"));
    items->needs(exp);
    all->needs(exp);
    items->excludes(all);

    try {
        app.parse(argc, argv);
        if (exp->count() > 0 && items->count() == 0 && all->count() == 0)
            throw CLI::ValidationError("--export", "needs --items or --all");
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }

    try {
        if (drives->parsed()) return RunDrives();
        return RunScan(opt);
    } catch (const std::exception& e) {
        std::cerr << kProgram << ": " << e.what() << "\n";
        return 1;
    }
}
