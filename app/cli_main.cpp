// parcelwright-cli: the command-line scanner. A thin layer over the engine: the same scan, the same
// list rules and the same export as the desktop program.

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "BuildInfo.h"
#include "CliFormat.h"
#include "CliMail.h"
#include "CliProgress.h"
#include "CliTarget.h"
#include "Copies.h"
#include "DiskBuffer.h"
#include "DriveProbe.h"
#include "Error.h"
#include "Export.h"
#include "GetDrives.h"
#include "MboxExport.h"
#include "ResultView.h"
#include "ScanHardDisk.h"
#include "Terminal.h"

namespace {

constexpr const char* kProgram = "parcelwright-cli";
#ifdef _WIN32
constexpr const char* kDriveRights = "reading a drive needs administrator rights";
constexpr const char* kTargetHelp =
    "A drive listed by 'drives' (C:), a physical drive (\\\\.\\PhysicalDrive0) or an image "
    "file (raw; EWF sets are read by the Linux build)";
#else
constexpr const char* kDriveRights = "reading a block device needs the right to read it "
                                     "(membership of the \"disk\" group, or root)";
constexpr const char* kTargetHelp =
    "A drive listed by 'drives', a block device (/dev/sdb1) or an image file (raw, or the first "
    "file of an EWF set: image.E01)";
#endif

struct TCliOptions {
    std::string Target;
    std::string SectorSizeText;
    std::uint32_t SectorSize = 0;
    std::string Keyword;
    std::string Sort;
    bool Descending = false;
    bool Json = false;
    bool JsonLines = false;
    unsigned Fields = JsonAllFields;
    bool Deep = false;
    std::string ExportDir;
    bool ItemsGiven = false;
    std::string Items;
    bool All = false;
    bool Force = false;
    bool NoClobber = false;
    std::string Text;
    bool Unique = false;
    std::string Mbox;
    std::string Dfxml;
    std::string CommandLine;
};

// The folder a file named by the user would be written to, checked before the scan.
std::string ProbeFileFolder(const std::string& File) {
    const std::size_t slash = File.find_last_of('/');
    return ProbeExportFolder(slash == std::string::npos ? "." : File.substr(0, slash + 1));
}

void Fail(const std::string& Subject, const std::string& Cause) {
    std::cerr << kProgram << ": " << DisplayName(Subject) << ": " << Cause << "\n";
}

// Standard output with its failures seen: results lost to a full disk must not pass as success.
class TStdout {
  public:
    void Write(std::string_view Text) {
        if (!FError.empty() || Text.empty()) return;
        if (std::fwrite(Text.data(), 1, Text.size(), stdout) != Text.size()) Failed();
    }
    // Hands what was written to the system now, so that a pipeline sees it at once.
    void Flush() {
        if (FError.empty() && std::fflush(stdout) != 0) Failed();
    }
    // Flushes and closes standard output: the last chance for the system to refuse the bytes.
    bool Finish() {
        if (FError.empty() && std::fflush(stdout) != 0) Failed();
#ifdef _WIN32
        // The Windows C runtime flushes its streams again at exit and faults on a closed one;
        // its flush has already handed every byte to the system.
        if (FError.empty() && std::ferror(stdout) != 0) Failed();
#else
        if (std::fclose(stdout) != 0 && FError.empty()) Failed();
#endif
        if (FError.empty()) return true;
        Fail("standard output", "the results could not be written: " + FError);
        return false;
    }

  private:
    void Failed() {
        const int error = errno;
        FError = error != 0 ? std::strerror(error) : "write failed";
    }
    std::string FError;
};

// The rows shown, settled one message at a time as the scan finds them, by the results list's
// filter (keyword, decoded text, --unique). Copies are known for every message found, shown or
// not: the JSON names them.
class TRowPicker {
  public:
    TRowPicker(const TCliOptions& Opt, bool NeedCopies)
        : FFilter{Opt.Keyword, Opt.Text.empty() ? TDecodedTextTest() : DecodedTextTest(Opt.Text),
                  Opt.Unique},
          FNeedCopies(NeedCopies) {}

    // Takes the next message found; true when it is shown.
    bool Take(const TFoundEmails& Emails, std::size_t Item) {
        const std::optional<std::size_t> copy =
            FNeedCopies ? FCopies.Add(Emails, Item) : std::nullopt;
        Copies.push_back(copy);
        if (!FFilter.Shows(Emails, Item, copy)) return false;
        Rows.push_back(Item);
        return true;
    }

    std::vector<std::size_t> Rows;
    std::vector<std::optional<std::size_t>> Copies; // by item
  private:
    const TRowFilter FFilter;
    bool FNeedCopies;
    TCopyFinder FCopies;
};

// The scan's host for the command line: the progress display, and each message handed to the
// row picker as it is found, printed at once when the rows come out in found order.
class TPickingHost final : public ScanHost {
  public:
    using TPrint = std::function<void(const TScanResult&, std::size_t)>;
    // Moving is called as the scan moves on, found anything or not.
    TPickingHost(ScanHost& Progress, TRowPicker& Picker, TPrint Print,
                 std::function<void()> Moving)
        : FProgress(Progress), FPicker(Picker), FPrint(std::move(Print)),
          FMoving(std::move(Moving)) {}

    void KeepAlive(std::uint64_t count) override { FProgress.KeepAlive(count); }
    void ProgressOpen(std::uint64_t maximum) override { FProgress.ProgressOpen(maximum); }
    void ProgressPosition(std::uint64_t position) override {
        FProgress.ProgressPosition(position);
    }
    void ProgressClose() override { FProgress.ProgressClose(); }
    void ProgressBytes(std::uint64_t offset) override {
        FProgress.ProgressBytes(offset);
        if (FMoving) FMoving();
    }
    bool CancelRequested() override { return FProgress.CancelRequested(); }
    void MessageFound() override { FProgress.MessageFound(); }
    void MessageKept(const TScanResult& SoFar) override {
        const std::size_t item = SoFar.Emails.size() - 1;
        if (FPicker.Take(SoFar.Emails, item) && FPrint) FPrint(SoFar, item);
    }

  private:
    ScanHost& FProgress;
    TRowPicker& FPicker;
    TPrint FPrint;
    std::function<void()> FMoving;
};

int RunDrives(TStdout& Out) {
    const TDriveArray drives = TGetDrives().ListDrives();
    for (const std::string& drive : drives)
        Out.Write(drive + "\n");
    if (drives.empty())
        std::cerr << kProgram << ": no drive can be read now: " << kDriveRights
                  << "; disk images are scanned by their path\n";
    return 0;
}

// "100-109, 2000": the first few ranges, and how many more there are.
std::string SectorRangesText(const std::vector<TSectorRange>& Ranges) {
    constexpr std::size_t kShown = 8;
    std::string text = "sectors ";
    for (std::size_t i = 0; i < Ranges.size() && i < kShown; ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(Ranges[i].First);
        if (Ranges[i].Count > 1) text += "-" + std::to_string(Ranges[i].First + Ranges[i].Count - 1);
    }
    if (Ranges.size() > kShown)
        text += " and " + std::to_string(Ranges.size() - kShown) + " more ranges";
    return text;
}

// True when Folder is the folder that holds the image file Target: exporting there writes onto
// the file system the image came from, beside the evidence.
bool IsImageFolder(const std::string& Target, const std::string& Folder) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(Target, ec)) return false;
    std::filesystem::path parent = std::filesystem::path(Target).parent_path();
    if (parent.empty()) parent = ".";
    return std::filesystem::equivalent(parent, Folder, ec);
}

int RunScan(const TCliOptions& Opt, TStdout& Out) {
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
    std::vector<TRowRange> chosen;
    if (Opt.ItemsGiven) {
        const auto parsed = ParseRowList(Opt.Items);
        if (!parsed) {
            std::cerr << kProgram
                      << ": --items: expected row positions such as 0,3,7 or 2-5, got \""
                      << DisplayName(Opt.Items) << "\"\n";
            return 2;
        }
        chosen = *parsed;
    }
    if (!Opt.ExportDir.empty()) {
        if (!Opt.Force && IsImageFolder(Opt.Target, Opt.ExportDir)) {
            Fail(Opt.ExportDir, "is the folder that holds the image being scanned; export "
                                "elsewhere, or give --force to write there anyway");
            return 2;
        }
        const std::string problem = ProbeExportFolder(Opt.ExportDir);
        if (!problem.empty()) {
            Fail(Opt.ExportDir, "cannot write to the export folder: " + problem);
            return 1;
        }
    }
    if (!Opt.Text.empty() && !CanDecodeMail()) {
        std::cerr << kProgram << ": --text: this build does not decode mail; use --keyword\n";
        return 2;
    }
    if (!Opt.Dfxml.empty() && !CanWriteReport()) {
        std::cerr << kProgram << ": --dfxml: this build does not write reports\n";
        return 2;
    }
    for (const std::string& file : {Opt.Mbox, Opt.Dfxml}) {
        if (file.empty()) continue;
        if (const std::string problem = ProbeFileFolder(file); !problem.empty()) {
            Fail(file, "cannot write to its folder: " + problem);
            return 1;
        }
    }
    if (std::string problem = ImageFormatProblem(Opt.Target); !problem.empty()) {
        std::cerr << kProgram << ": " << DisplayName(problem) << "\n";
        return 1;
    }
    if (std::string problem = DriveAccessProblem(Opt.Target); !problem.empty()) {
        std::cerr << kProgram << ": " << DisplayName(problem) << "\n";
        return 1;
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
    // Lines streamed to the terminal are the progress there; a bar drawn between them would
    // break them up.
    const bool streaming = Opt.JsonLines && !column;
    TCliProgress progress(std::cerr, terminal && !(streaming && IsTerminal(1)), 0);
    const unsigned fields = Opt.Json || Opt.JsonLines ? Opt.Fields : 0u;
    TRowPicker picker(Opt, Opt.Unique || (fields & JsonCopyOf) != 0);
    auto moreFields = [&](const TFoundEmails& Emails, std::size_t Item) {
        if ((fields & (JsonDecoded | JsonSha256 | JsonCopyOf)) == 0) return std::string();
        return MailJsonFields(Emails.FullText(Item), picker.Copies[Item], fields);
    };
    auto jsonObject = [&](const TFoundEmails& Emails, std::size_t Item, const TEmailPlace& Place) {
        return JsonObject(Emails, Item, Place.Offset, CarvingRuleName(Place.Rule), fields,
                          [&](std::size_t I) { return moreFields(Emails, I); });
    };
    // Handed to the system every few hundredths of a second: a pipeline sees each line almost at
    // once, and a disk of mail costs no system call per message. The clock is read every
    // sixteenth call only: the calls come a few per message and at least one per stretch of the
    // drive tested, and a million messages' worth of clock readings cost more than the lines.
    auto lastFlush = std::chrono::steady_clock::now();
    bool unflushed = false;
    unsigned sinceClock = 0;
    auto flushNow = [&] {
        if (!unflushed || ++sinceClock < 16) return;
        sinceClock = 0;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastFlush < std::chrono::milliseconds(30)) return;
        Out.Flush();
        lastFlush = now;
        unflushed = false;
    };
    TPickingHost host(
        progress, picker,
        [&](const TScanResult& SoFar, std::size_t Item) {
            if (!streaming) return;
            Out.Write(jsonObject(SoFar.Emails, Item, SoFar.Places[Item]) + "\n");
            unflushed = true;
            flushNow();
        },
        flushNow);
    TScanResult result;
    std::uint64_t imageSize = 0;
    std::uint32_t sectorSize = 0;
    try {
        const TScanOptions options{Opt.SectorSize,
                                   Opt.Deep ? TCarvingRule::Deep : TCarvingRule::Standard};
        TScanHardDisk scan(
            std::make_unique<TDiskBuffer>(std::move(probe), TScanHardDisk::BufferSize), options,
            host);
        progress.SetSectorSize(scan.SectorSize());
        imageSize = scan.DriveBytes();
        sectorSize = scan.SectorSize();
        CatchInterrupt();
        result = scan.ScanDrive();
        ReleaseInterrupt();
    } catch (const PwError& e) {
        ReleaseInterrupt();
        Fail(Opt.Target, e.what());
        return 1;
    } catch (const std::bad_alloc&) {
        ReleaseInterrupt();
        Fail(Opt.Target, "out of memory");
        return 1;
    }
    const TFoundEmails& emails = result.Emails;
    std::vector<std::uint64_t> offsets;
    for (const TEmailPlace& place : result.Places)
        offsets.push_back(place.Offset);
    const std::uint64_t unreadable = result.UnreadableSectors;

    std::vector<std::size_t> rows = std::move(picker.Rows);
    if (column) SortItems(rows, emails, *column, !Opt.Descending);

    // Written a row at a time: the messages may be far more than memory holds.
    if (Opt.Json) {
        Out.Write("[");
        for (std::size_t i = 0; i < rows.size(); ++i)
            Out.Write((i ? ",\n  " : "\n  ") + jsonObject(emails, rows[i], result.Places[rows[i]]));
        Out.Write(rows.empty() ? "]\n" : "\n]\n");
    } else if (Opt.JsonLines) {
        if (!streaming)
            for (const std::size_t item : rows)
                Out.Write(jsonObject(emails, item, result.Places[item]) + "\n");
    } else {
        FormatTable(emails, rows, [&](std::string_view Piece) { Out.Write(Piece); });
    }

    int status = 0;
    if (progress.Interrupted())
        std::cerr << kProgram << ": interrupted: the scan was stopped by Ctrl+C; the "
                  << emails.size() << " messages found before it stopped are kept\n";
    if (!result.StopReason.empty()) {
        Fail(Opt.Target, "the scan stopped before the end: " + result.StopReason + "; the " +
                             std::to_string(emails.size()) + " messages found before are kept");
        status = 1;
    }
    if (terminal)
        std::cerr << kProgram << ": " << emails.size() << " messages found, " << rows.size()
                  << " shown\n";
    if (unreadable > 0) {
        Fail(Opt.Target, std::to_string(unreadable) + " unreadable sectors (read as zeros): " +
                             SectorRangesText(result.Unreadable));
        status = 3;
    }

    if (!Opt.ExportDir.empty()) {
        std::vector<std::size_t> positions;
        if (Opt.All) {
            for (std::size_t p = 0; p < rows.size(); ++p)
                positions.push_back(p);
        } else {
            std::optional<std::size_t> outside;
            positions = ExpandRowList(chosen, rows.size(), outside);
            if (outside) {
                std::cerr << kProgram << ": --items: row " << *outside << " is not in the list ("
                          << rows.size() << " rows shown); nothing exported\n";
                return 2;
            }
        }
        std::vector<TExportRow> toWrite;
        for (std::size_t p : positions)
            toWrite.push_back({p, rows[p]});
        const TExportReport report =
            ExportRows(Opt.ExportDir, emails, toWrite, RealExportOutput(), !Opt.NoClobber);
        if (!report.FolderError.empty()) {
            Fail(Opt.ExportDir, "cannot write to the export folder: " + report.FolderError);
            return 1;
        }
        for (const TExportFailure& f : report.Failures)
            Fail(f.File, "not written: " + f.Reason);
        if (!report.Ok()) {
            std::cerr << kProgram << ": " << report.Failures.size() << " of " << toWrite.size()
                      << " files could not be written to " << DisplayName(Opt.ExportDir) << "\n";
            status = 1;
        } else {
            std::cerr << kProgram << ": " << report.Written << " messages exported to "
                      << DisplayName(Opt.ExportDir) << "\n";
        }
    }
    if (!Opt.Mbox.empty()) {
        if (const std::string problem = WriteMbox(Opt.Mbox, emails, rows); !problem.empty()) {
            Fail(Opt.Mbox, "not written: " + problem);
            status = 1;
        } else {
            std::cerr << kProgram << ": " << rows.size() << " messages written to "
                      << DisplayName(Opt.Mbox) << "\n";
        }
    }
    if (!Opt.Dfxml.empty()) {
        const TReportSource source{Opt.Target, imageSize, Opt.CommandLine, sectorSize,
                                   result.Unreadable};
        if (const std::string problem = WriteDfxmlReport(Opt.Dfxml, source, emails, offsets, rows);
            !problem.empty()) {
            Fail(Opt.Dfxml, "not written: " + problem);
            status = 1;
        }
    }
    // The shell's status for a program ended by Ctrl+C.
    if (progress.Interrupted()) return 130;
    return status;
}

} // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // Results are bytes: the same on every system, no line end turned into CR LF on the way.
    _setmode(_fileno(stdout), _O_BINARY);
    // The C runtime leaves standard output unbuffered on any character device, NUL included, and
    // then hands it to the system a byte at a time; results not shown on a console are written in
    // blocks, as they are elsewhere (and flushed where a pipeline must see them at once).
    if (!IsTerminal(1)) std::setvbuf(stdout, nullptr, _IOFBF, 64 * 1024);
#endif
    CLI::App app{"Recovers e-mail messages, deleted ones above all, by reading a drive or a disk "
                 "image raw, sector by sector, and carving the stored messages out of the bytes.",
                 kProgram};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string(kProgram) + " " + PW_VERSION);
    app.footer("Exit status: 0 success; 1 error (the target cannot be read, the results could not "
               "be written, the export failed); 2 wrong usage; 3 the scan completed but some "
               "sectors could not be read (they count as zeros; the count is on standard "
               "error); 130 the scan was stopped by Ctrl+C (what it found is still printed and "
               "exported; a second Ctrl+C ends the program at once).\n"
               "Drives: " + std::string(kDriveRights) + ".\n"
               "Run '" +
               std::string(kProgram) + " scan --help' for the scan's options.\n");

    CLI::App* drives =
        app.add_subcommand("drives", "List the drives that can be read now, one per line.");

    TCliOptions opt;
    CLI::App* scan = app.add_subcommand(
        "scan", "Scan a drive, block device or disk image and list the messages found, in found "
                "order: \"Item Num\", \"Date\", \"From\", \"To\", \"Subject\". The progress bar "
                "goes to standard error when that is a terminal.");
    scan->add_option("TARGET", opt.Target, kTargetHelp)
        ->required();
    // Taken as text and read as a decimal number here: the parser's own reading would take a
    // leading zero for octal ("0512" as 330).
    scan->add_option("--sector-size", opt.SectorSizeText,
                     "Bytes per sector of an image file, in decimal (default 512, or what an EWF "
                     "image stores); a block device has its own, and a different one is refused")
        ->check([](const std::string& s) -> std::string {
            const auto v = ParseDecimal(s);
            if (!v) return "not a decimal number";
            if (*v < 256 || *v > 65536 || (*v & (*v - 1)) != 0)
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
    CLI::Option* jsonLines = scan->add_flag(
        "--json-lines", opt.JsonLines,
        "Print one JSON object per line instead of the table, with the fields of --json; without "
        "--sort each line is printed as soon as its message is found");
    std::string fieldsText;
    CLI::Option* fieldsOption =
        scan->add_option("--fields", fieldsText,
                         "The fields of each JSON object, comma-separated, printed in the order "
                         "of --json: " +
                             JsonFieldNames() + " (default: all)")
            ->check([](const std::string& s) -> std::string {
                std::string unknown;
                if (ParseJsonFields(s, unknown)) return {};
                return unknown.empty() ? "names no field" : "unknown field \"" + unknown + "\"";
            });
    scan->add_flag("--deep", opt.Deep,
                   "Deep scan: also recover messages with long header blocks (chains of Received "
                   "lines), 8-bit bodies and quoted replies, cutting each one exactly; where it "
                   "finds no message, the standard rule is still applied");
    CLI::Option* exp = scan->add_option(
        "--export", opt.ExportDir,
        "Write chosen rows to this folder as RecoveredEmail<row>.eml (row = position in the list "
        "as shown, from 0), each holding the stored message byte for byte. The folder is tested "
        "before the scan; success is reported only when every file was written. The folder that "
        "holds the image being scanned is refused unless --force is given")
                              // An unset shell variable must not pass for "export nowhere".
                              ->check([](const std::string& s) -> std::string {
                                  return s.empty() ? "must not be empty" : "";
                              });
    CLI::Option* items =
        scan->add_option("--items", opt.Items,
                         "Rows to export, by position in the list as shown, in decimal: 0,3,7 or "
                         "2-5; a row named twice is written once")
            ->check([](const std::string& s) -> std::string {
                return ParseRowList(s) ? "" : "expected row positions such as 0,3,7 or 2-5";
            });
    CLI::Option* all = scan->add_flag("--all", opt.All, "Export every row shown");
    CLI::Option* force = scan->add_flag(
        "--force", opt.Force, "Export even into the folder that holds the image being scanned");
    scan->add_option("--text", opt.Text,
                     "Show only messages whose decoded From, To, Subject or text holds this text, "
                     "ignoring case in any script (encoded words, charsets, quoted-printable and "
                     "base64 undone first)")
        ->check([](const std::string& s) -> std::string {
            return s.empty() ? "must not be empty" : "";
        });
    scan->add_flag("--unique", opt.Unique,
                   "Show only the first of each set of copies (messages with equal stored bytes); "
                   "the JSON's copy_of names the first for every later copy");
    scan->add_option("--mbox", opt.Mbox,
                     "Write the rows shown to this file as one mboxrd mailbox, the stored bytes "
                     "of each message unchanged apart from \">From \" quoting");
    scan->add_option("--dfxml", opt.Dfxml,
                     "Write a DFXML report of the rows shown to this file: the image, and per "
                     "message its export name, byte run on the image, and SHA-256 and MD5 of "
                     "its stored bytes");
    desc->needs(scan->get_option("--sort"));
    jsonLines->excludes(scan->get_option("--json"));
    items->needs(exp);
    all->needs(exp);
    items->excludes(all);
    force->needs(exp);
    scan->add_flag("--no-clobber", opt.NoClobber,
                   "Keep files that exist already: such a file is named and counted as not "
                   "written (exit status 1), never replaced")
        ->needs(exp);

    for (int i = 0; i < argc; ++i)
        opt.CommandLine.append(i ? " " : "").append(argv[i]);
    try {
        app.parse(argc, argv);
        if (exp->count() > 0 && items->count() == 0 && all->count() == 0)
            throw CLI::ValidationError("--export", "needs --items or --all");
        if (fieldsOption->count() > 0 && !opt.Json && !opt.JsonLines)
            throw CLI::ValidationError("--fields", "needs --json or --json-lines");
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }

    opt.ItemsGiven = items->count() > 0;
    if (fieldsOption->count() > 0) {
        std::string unknown;
        opt.Fields = *ParseJsonFields(fieldsText, unknown);
    }
    opt.Target = DriveTarget(PlatformSystem(), opt.Target);
    if (!opt.SectorSizeText.empty())
        opt.SectorSize = static_cast<std::uint32_t>(*ParseDecimal(opt.SectorSizeText));

    TStdout out;
    int status = 1;
    try {
        status = drives->parsed() ? RunDrives(out) : RunScan(opt, out);
    } catch (const std::exception& e) {
        std::cerr << kProgram << ": " << e.what() << "\n";
        status = 1;
    }
    if (!out.Finish() && status != 2) status = 1;
    return status;
}
