// parcelwright-cli: the command-line scanner. A thin layer over the engine: the same scan, the same
// list rules and the same export as the desktop program.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "BuildInfo.h"
#include "app/CliFormat.h"
#include "app/CliMail.h"
#include "app/CliProgress.h"
#include "app/CliTarget.h"
#include "app/Terminal.h"
#include "disk/DiskBuffer.h"
#include "disk/DriveProbe.h"
#include "disk/Error.h"
#include "disk/GetDrives.h"
#include "engine/Copies.h"
#include "engine/Export.h"
#include "engine/MboxExport.h"
#include "engine/ResultView.h"
#include "engine/ScanHardDisk.h"
#include "engine/ScanPieces.h"

namespace {

constexpr const char* Program = "parcelwright-cli";
#ifdef _WIN32
constexpr const char* DriveRights = "reading a drive needs administrator rights";
constexpr const char* ScratchHint = "name a writable folder in TMP";
constexpr const char* TargetHelp =
    "A drive listed by 'drives' (C:), a physical drive (\\\\.\\PhysicalDrive0) or an image "
    "file (raw, or the first file of an EWF set: image.E01)";
#else
constexpr const char* ScratchHint = "name a writable folder in TMPDIR";
constexpr const char* DriveRights = "reading a block device needs the right to read it "
                                    "(membership of the \"disk\" group, or root)";
constexpr const char* TargetHelp =
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
    unsigned Jobs = 0; // 0: the engine's default
    std::string Range; // START-END in bytes: one piece of a scan, written to Part
    std::string Part;
    bool Merging = false; // merge: the parts given make the scan
    bool Ranges = false;  // ranges: the ranges a scan on many machines takes
    std::vector<std::string> Parts;
    std::uint64_t RangeCount = 0; // ranges: how many pieces to cut the target into
    std::string ExportDir;
    bool ItemsGiven = false;
    std::string Items;
    bool All = false;
    bool Force = false;
    bool NoClobber = false;
    std::string Text;
    bool Unique = false;
    bool ClientDeleted = false;
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
    std::cerr << Program << ": " << DisplayName(Subject) << ": " << Cause << "\n";
}

// Standard output with its failures seen: results lost to a full disk must not pass as success.
// Written in blocks of its own: the C runtime's write takes a lock and a copy for each call, and
// a disk of mail prints a line per message.
class TStdout {
  public:
    void Write(std::string_view Text) {
        if (!FError.empty() || Text.empty()) return;
        FPending.append(Text);
        Written();
    }
    // The bytes waiting to be written, for a caller that writes the next ones in place (a line
    // per message needs no string of its own); Written() after.
    std::string& Pending() { return FPending; }
    void Written() {
        if (FPending.size() >= BlockBytes) Drain();
    }
    // True once a write failed: whatever follows is lost too.
    bool Broken() const { return !FError.empty(); }
    // Hands what was written to the system now, so that a pipeline sees it at once.
    void Flush() {
        Drain();
        if (FError.empty() && std::fflush(stdout) != 0) Failed();
    }
    // Flushes and closes standard output: the last chance for the system to refuse the bytes.
    bool Finish() {
        Flush();
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
    static constexpr std::size_t BlockBytes = 64 * 1024;
    void Drain() {
        if (FError.empty() && !FPending.empty() &&
            std::fwrite(FPending.data(), 1, FPending.size(), stdout) != FPending.size())
            Failed();
        FPending.clear();
    }
    void Failed() {
        const int error = errno;
        FError = error != 0 ? std::strerror(error) : "write failed";
    }
    std::string FPending;
    std::string FError;
};

// The rows shown, settled one message at a time as the scan finds them, by the results list's
// filter (keyword, decoded text, --unique). Copies are known for every message found, shown or
// not: the JSON names them.
class TRowPicker {
  public:
    // KeepRows false: the rows shown are counted only, for output that takes each as it comes.
    TRowPicker(const TCliOptions& Opt, bool NeedCopies, bool KeepRows = true)
        : FFilter{Opt.Keyword, Opt.Text.empty() ? TDecodedTextTest() : DecodedTextTest(Opt.Text),
                  Opt.Unique, Opt.ClientDeleted},
          FNeedCopies(NeedCopies), FKeepRows(KeepRows) {}

    // Takes the next message found; true when it is shown.
    bool Take(const TFoundEmails& Emails, std::size_t Item) {
        std::optional<std::size_t> copy;
        if (FNeedCopies) {
            copy = FCopies.Add(Emails, Item);
            FCopyOf.push_back(copy);
        }
        if (!FFilter.Shows(Emails, Item, copy)) return false;
        ++Shown;
        if (FKeepRows) Rows.push_back(Item);
        return true;
    }

    // The earlier item Item is a copy of, where copies are looked for.
    std::optional<std::size_t> CopyOf(std::size_t Item) const {
        return Item < FCopyOf.size() ? FCopyOf[Item] : std::nullopt;
    }

    std::vector<std::size_t> Rows; // when kept
    std::size_t Shown = 0;

  private:
    std::vector<std::optional<std::size_t>> FCopyOf; // by item, where copies are looked for
    const TRowFilter FFilter;
    bool FNeedCopies;
    bool FKeepRows;
    TCopyFinder FCopies;
};

// The scan's host for the command line: the progress display, and each message handed to the
// row picker as it is found, printed at once when the rows come out in found order.
class TPickingHost final : public TScanHost {
  public:
    using TPrint = std::function<void(const TScanResult&, std::size_t)>;
    // Moving is called as the scan moves on, found anything or not.
    TPickingHost(TCliProgress& Progress, TRowPicker& Picker, TPrint Print,
                 std::function<void()> Moving)
        : FProgress(Progress), FPicker(Picker), FPrint(std::move(Print)),
          FMoving(std::move(Moving)) {
        SkipLinePoints();
    }

    // The progress display's own does nothing: the rules' once-a-line points are skipped.
    void KeepAlive(std::uint64_t count) override { FProgress.KeepAlive(count); }
    void ProgressOpen(std::uint64_t maximum) override { FProgress.ProgressOpen(maximum); }
    void ProgressPosition(std::uint64_t position) override { FProgress.ProgressPosition(position); }
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
    TCliProgress& FProgress;
    TRowPicker& FPicker;
    TPrint FPrint;
    std::function<void()> FMoving;
};

int RunDrives(TStdout& Out) {
    const TDriveArray drives = TGetDrives().ListDrives();
    for (const std::string& drive : drives)
        Out.Write(drive + "\n");
    if (drives.empty())
        std::cerr << Program << ": no drive can be read now: " << DriveRights
                  << "; disk images are scanned by their path\n";
    return 0;
}

// "100-109, 2000": the first few ranges, and how many more there are.
std::string SectorRangesText(const std::vector<TSectorRange>& Ranges) {
    constexpr std::size_t RangesShown = 8;
    std::string text = "sectors ";
    for (std::size_t i = 0; i < Ranges.size() && i < RangesShown; ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(Ranges[i].First);
        if (Ranges[i].Count > 1)
            text += "-" + std::to_string(Ranges[i].First + Ranges[i].Count - 1);
    }
    if (Ranges.size() > RangesShown)
        text += " and " + std::to_string(Ranges.size() - RangesShown) + " more ranges";
    return text;
}

// True when Folder is the folder that holds the image file Target: exporting there writes onto
// the file system the image came from, beside the evidence.
bool IsImageFolder(const std::string& Target, const std::string& Folder) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(Target, ec)) return false;
    // The image's own folder, where a link to it may lie elsewhere.
    const std::filesystem::path image = std::filesystem::canonical(Target, ec);
    if (ec) return false;
    return std::filesystem::equivalent(image.parent_path(), Folder, ec);
}

// What the user asked for, settled before the scan so that a mistake costs no scan time.
struct TScanPlan {
    std::optional<TResultColumn> Column;
    std::vector<TRowRange> Chosen;
};

// The exit status of a request that cannot be carried out; nothing when it can.
std::optional<int> SettlePlan(const TCliOptions& Opt, TScanPlan& Plan) {
    if (!Opt.Sort.empty()) {
        Plan.Column = ColumnFromName(Opt.Sort);
        if (!Plan.Column) {
            std::cerr << Program << ": --sort: unknown column \"" << Opt.Sort
                      << "\" (item, date, from, to, subject)\n";
            return 2;
        }
    }
    if (Opt.ItemsGiven) {
        const auto parsed = ParseRowList(Opt.Items);
        if (!parsed) {
            std::cerr << Program << ": --items: expected row positions such as 0,3,7 or 2-5, got \""
                      << DisplayName(Opt.Items) << "\"\n";
            return 2;
        }
        Plan.Chosen = *parsed;
    }
    if (!Opt.Text.empty() && !CanDecodeMail()) {
        std::cerr << Program << ": --text: this build does not decode mail; use --keyword\n";
        return 2;
    }
    if (!Opt.Dfxml.empty() && !CanDecodeMail()) {
        std::cerr << Program << ": --dfxml: this build does not write reports\n";
        return 2;
    }
    return std::nullopt;
}

// The file a report named File is written to: links followed to their end (a link named there
// is not replaced by a file of its own), so that the checks below see what is really written.
std::string FollowLinks(const std::string& File) {
    namespace fs = std::filesystem;
    fs::path path = File;
    std::error_code ec;
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(path, ec)); ++hops) {
        const fs::path to = fs::read_symlink(path, ec);
        if (ec) break;
        path = to.is_absolute() ? to : path.parent_path() / to;
    }
    return path.string();
}

// Why a report may not be written to File: it is the target itself, a device, a FIFO or a
// folder, which a report renamed into place would replace. Empty when it may.
std::string ReportPathProblem(const std::string& Target, const std::string& File) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(File, ec);
    if (!fs::exists(st)) return {};
    if (fs::is_directory(st)) return "is a folder; name a file for the report";
    if (fs::is_block_file(st) || fs::is_character_file(st))
        return "is a device; the report is written to a file only";
    if (fs::is_fifo(st)) return "is a FIFO; the report is written to a file only";
    if (!fs::is_regular_file(st))
        return "is not a regular file; the report is written to a file only";
    if (fs::equivalent(File, Target, ec))
        return "is the drive or image being scanned, which is never written to";
    return {};
}

// The export folder and the files asked for, tested before the scan: nothing the scan reads is
// written to, no report lands beside the image unless --force says so, and --no-clobber keeps
// an existing report as it keeps an existing .eml file.
std::optional<int> CheckOutputs(TCliOptions& Opt) {
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
    for (std::string* file : {&Opt.Mbox, &Opt.Dfxml}) {
        if (file->empty()) continue;
        const std::string named = *file;
        *file = FollowLinks(named);
        // The name as the system resolves it (/dev/stdout through /proc to a pipe), then the
        // file the links lead to.
        for (const std::string& path : {named, *file})
            if (const std::string problem = ReportPathProblem(Opt.Target, path); !problem.empty()) {
                Fail(named, problem);
                return 2;
            }
        const std::string folder = std::filesystem::path(*file).parent_path().string();
        if (!Opt.Force && IsImageFolder(Opt.Target, folder.empty() ? "." : folder)) {
            Fail(named, "is in the folder that holds the image being scanned; write it "
                        "elsewhere, or give --force to write there anyway");
            return 2;
        }
        std::error_code ec;
        if (Opt.NoClobber && std::filesystem::exists(std::filesystem::symlink_status(*file, ec))) {
            Fail(named, "not written: a file of that name exists already (--no-clobber)");
            return 1;
        }
        if (const std::string problem = ProbeFileFolder(*file); !problem.empty()) {
            Fail(named, "cannot write to its folder: " + problem);
            return 1;
        }
    }
    std::error_code ec;
    if (!Opt.Mbox.empty() && !Opt.Dfxml.empty() &&
        (Opt.Mbox == Opt.Dfxml || std::filesystem::equivalent(Opt.Mbox, Opt.Dfxml, ec))) {
        std::cerr << Program << ": --mbox and --dfxml name the same file\n";
        return 2;
    }
    return std::nullopt;
}

// One probe opens the target for the whole scan; nothing when it cannot be scanned (said so).
// NeedsScratch: the scan keeps what it finds, past what memory holds in a scratch file.
std::optional<TDriveProbe> OpenTarget(const TCliOptions& Opt, int& Status,
                                      bool NeedsScratch = true) {
    Status = 1;
    if (const std::string problem = NeedsScratch ? ScratchFolderProblem(PlatformSystem()) : "";
        !problem.empty()) {
        std::cerr << Program << ": the found messages could not be kept past what memory holds: "
                  << "no scratch file can be written in the temporary folder ("
                  << DisplayName(problem) << "); " << ScratchHint << "\n";
        return std::nullopt;
    }
    for (const std::string& problem :
         {ImageFormatProblem(Opt.Target), DriveAccessProblem(Opt.Target)})
        if (!problem.empty()) {
            std::cerr << Program << ": " << DisplayName(problem) << "\n";
            return std::nullopt;
        }
    TDriveProbe probe = ProbeDrive(PlatformSystem(), Opt.Target, Opt.SectorSize);
    if (!probe.Ok()) {
        Fail(Opt.Target, probe.Reason);
        // A sector size the device does not have is a mistake in the command line.
        if (probe.Problem == TDriveProblem::SectorSizeRefused) Status = 2;
        return std::nullopt;
    }
    for (const std::string& warning : TargetWarnings(probe))
        Fail(Opt.Target, warning);
    return probe;
}

// The rows on standard output: streamed as the scan finds them (--json-lines without --sort),
// or all at once after it.
class TResultPrinter {
  public:
    TResultPrinter(const TCliOptions& Opt, TStdout& Out, const TRowPicker& Picker, bool Streaming)
        : FOpt(Opt), FOut(Out), FPicker(Picker), FStreaming(Streaming),
          FFields(Opt.Json || Opt.JsonLines ? Opt.Fields : 0u) {}

    // Before the scan: the start of a JSON array goes out at once where it is not shown on a
    // terminal, so that output that cannot be written (a full disk) is known before the scan.
    void Begin() {
        if (!FOpt.Json || IsTerminal(1)) return;
        FOut.Write("[");
        FOut.Flush();
        FOpened = true;
    }

    // A message the picker shows, found just now. The first line goes out at once: a reader
    // waiting for one line gets it, and a reader gone is known.
    void Found(const TScanResult& SoFar, std::size_t Item) {
        if (!FStreaming) return;
        if (FOut.Broken()) return;
        AppendObject(FOut.Pending(), SoFar, Item);
        FOut.Pending() += '\n';
        FOut.Written();
        if (!FFirstOut) {
            FOut.Flush();
            FFirstOut = true;
            return;
        }
        FUnflushed = true;
        Moving();
    }

    // Handed to the system every few hundredths of a second: a pipeline sees each line almost
    // at once, and a disk of mail costs no system call per message. The clock is read every
    // sixteenth call only: the calls come a few per message and at least one per stretch of the
    // drive tested, and a million messages' worth of clock readings cost more than the lines.
    void Moving() {
        if (!FUnflushed || ++FSinceClock < 16) return;
        FSinceClock = 0;
        const auto now = std::chrono::steady_clock::now();
        if (now - FLastFlush < std::chrono::milliseconds(30)) return;
        FOut.Flush();
        FLastFlush = now;
        FUnflushed = false;
    }

    // Written a row at a time: the messages may be far more than memory holds.
    void PrintAll(const TScanResult& Result, const std::vector<std::size_t>& Rows) {
        if (FOpt.Json) {
            if (!FOpened) FOut.Write("[");
            for (std::size_t i = 0; i < Rows.size() && !FOut.Broken(); ++i) {
                FOut.Pending() += i ? ",\n  " : "\n  ";
                AppendObject(FOut.Pending(), Result, Rows[i]);
                FOut.Written();
            }
            FOut.Write(Rows.empty() ? "]\n" : "\n]\n");
        } else if (FOpt.JsonLines) {
            if (!FStreaming)
                for (const std::size_t item : Rows) {
                    if (FOut.Broken()) break;
                    AppendObject(FOut.Pending(), Result, item);
                    FOut.Pending() += '\n';
                    FOut.Written();
                }
        } else {
            FormatTable(Result.Emails, Rows, [&](std::string_view Piece) { FOut.Write(Piece); });
        }
    }

  private:
    void AppendObject(std::string& Out, const TScanResult& Result, std::size_t Item) const {
        const TFoundEmails& emails = Result.Emails;
        const TEmailPlace& place = Result.Place(Item);
        // Most listings ask for none of the fields read from the message's own bytes.
        if ((FFields & (JsonDecoded | JsonSha256 | JsonCopyOf)) == 0) {
            AppendJsonObject(Out, emails, Item, place, FFields, {});
            return;
        }
        AppendJsonObject(Out, emails, Item, place, FFields, [&](std::size_t I) {
            return MailJsonFields(emails.FullText(I), FPicker.CopyOf(I), FFields);
        });
    }

    const TCliOptions& FOpt;
    TStdout& FOut;
    const TRowPicker& FPicker;
    bool FStreaming;
    unsigned FFields;
    std::chrono::steady_clock::time_point FLastFlush = std::chrono::steady_clock::now();
    bool FUnflushed = false;
    unsigned FSinceClock = 0;
    bool FOpened = false;
    bool FFirstOut = false;
};

// Threads the scan carves with: as asked, else the engine's default.
unsigned ScanJobs(const TCliOptions& Opt) {
    return Opt.Jobs > 0 ? Opt.Jobs : TScanOptions::DefaultJobs();
}

struct TScanned {
    TScanResult Result;
    std::uint64_t ImageSize = 0;
    std::uint32_t SectorSize = 0;
};

// Runs the scan; false when it ended by an error (said so).
// Keep: what the scan's result must hold after the host has taken each message.
bool ScanTarget(const TCliOptions& Opt, TDriveProbe Probe, TCliProgress& Progress, TScanHost& Host,
                TScanned& Scanned, std::vector<TPieceRecord>* Parts, TFoundEmails::TKeep Keep) {
    try {
        TScanOptions options{Opt.SectorSize,
                             Opt.Deep ? TCarvingRule::Deep : TCarvingRule::Standard};
        options.Jobs = ScanJobs(Opt);
        options.Keep = Keep;
        // The probe made already serves the scan's own buffer; each job probes the drive anew.
        auto probe = std::make_shared<std::optional<TDriveProbe>>(std::move(Probe));
        TScanHardDisk scan(TBufferMaker([probe, Target = Opt.Target, SectorSize = Opt.SectorSize] {
                               if (probe->has_value()) {
                                   TDriveProbe first = std::move(**probe);
                                   probe->reset();
                                   return std::make_unique<TDiskBuffer>(std::move(first),
                                                                        TScanHardDisk::BufferSize);
                               }
                               return std::make_unique<TDiskBuffer>(
                                   ProbeDrive(PlatformSystem(), Target, SectorSize),
                                   TScanHardDisk::BufferSize);
                           }),
                           options, Host);
        Progress.SetSectorSize(scan.SectorSize());
        Scanned.ImageSize = scan.DriveBytes();
        Scanned.SectorSize = scan.SectorSize();
        Scanned.Result = Parts != nullptr ? scan.Merge(std::move(*Parts)) : scan.ScanDrive();
        return true;
    } catch (const TPwError& e) {
        Fail(Opt.Target, e.what());
    } catch (const std::bad_alloc&) {
        Fail(Opt.Target, "out of memory");
    }
    return false;
}

// What the scan itself ended with, told on standard error: 1 when it stopped before the end by
// itself, 3 when sectors could not be read, else 0.
int ScanStatus(const TCliOptions& Opt, const TCliProgress& Progress, const TScanResult& Result,
               std::size_t Shown) {
    const std::size_t found = Result.Emails.size();
    // Stopped before the end outweighs sectors that could not be read: 3 says "completed".
    int status = !Result.StopReason.empty() ? 1 : Result.UnreadableSectors > 0 ? 3 : 0;
    if (Progress.Interrupted())
        std::cerr << Program << ": interrupted: the scan was stopped by Ctrl+C; the " << found
                  << " messages found before it stopped are kept\n";
    if (!Result.StopReason.empty()) {
        Fail(Opt.Target, "the scan stopped before the end: " + Result.StopReason + "; the " +
                             std::to_string(found) + " messages found before are kept");
    }
    if (IsTerminal(2))
        std::cerr << Program << ": " << found << " messages found, " << Shown << " shown\n";
    if (Result.UnreadableSectors > 0) {
        Fail(Opt.Target,
             std::to_string(Result.UnreadableSectors) +
                 " unreadable sectors (read as zeros): " + SectorRangesText(Result.Unreadable));
    }
    return status;
}

// Writes the chosen rows as .eml files; the exit status, or nothing when all went well.
std::optional<int> ExportChosen(const TCliOptions& Opt, const TScanPlan& Plan,
                                const TFoundEmails& Emails, const std::vector<std::size_t>& Rows) {
    std::vector<std::size_t> positions;
    if (Opt.All) {
        for (std::size_t p = 0; p < Rows.size(); ++p)
            positions.push_back(p);
    } else {
        std::optional<std::size_t> outside;
        positions = ExpandRowList(Plan.Chosen, Rows.size(), outside);
        if (outside) {
            std::cerr << Program << ": --items: row " << *outside << " is not in the list ("
                      << Rows.size() << " rows shown); nothing exported\n";
            return 2;
        }
    }
    std::vector<TExportRow> toWrite;
    for (std::size_t p : positions)
        toWrite.push_back({p, Rows[p]});
    const TExportReport report =
        ExportRows(Opt.ExportDir, Emails, toWrite, RealExportOutput(), !Opt.NoClobber);
    if (!report.FolderError.empty()) {
        Fail(Opt.ExportDir, "cannot write to the export folder: " + report.FolderError);
        return 1;
    }
    for (const TExportFailure& f : report.Failures)
        Fail(f.File, "not written: " + f.Reason);
    if (!report.Ok()) {
        std::cerr << Program << ": " << report.Failures.size() << " of " << toWrite.size()
                  << " files could not be written to " << DisplayName(Opt.ExportDir) << "\n";
        return 1;
    }
    std::cerr << Program << ": " << report.Written << " messages exported to "
              << DisplayName(Opt.ExportDir) << "\n";
    return std::nullopt;
}

// The mailbox and the report asked for; false when one was not written (said so).
bool WriteFiles(const TCliOptions& Opt, const TScanned& Scanned,
                const std::vector<std::size_t>& Rows) {
    bool ok = true;
    const TFoundEmails& emails = Scanned.Result.Emails;
    if (!Opt.Mbox.empty()) {
        if (const std::string problem = WriteMbox(Opt.Mbox, emails, Rows, !Opt.NoClobber);
            !problem.empty()) {
            Fail(Opt.Mbox, "not written: " + problem);
            ok = false;
        } else {
            std::cerr << Program << ": " << Rows.size() << " messages written to "
                      << DisplayName(Opt.Mbox) << "\n";
        }
    }
    if (!Opt.Dfxml.empty()) {
        const TReportSource source{Opt.Target, Scanned.ImageSize, Opt.CommandLine,
                                   Scanned.SectorSize, Scanned.Result.Unreadable};
        if (const std::string problem = WriteDfxmlReport(
                Opt.Dfxml, source, emails, Scanned.Result.Places, Rows, !Opt.NoClobber);
            !problem.empty()) {
            Fail(Opt.Dfxml, "not written: " + problem);
            ok = false;
        }
    }
    return ok;
}

// The bytes of a file; false (said so) when it cannot be read.
bool ReadWholeFile(const std::string& File, std::string& Bytes) {
    std::ifstream in(File, std::ios::binary);
    if (!in) return false;
    Bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The bytes a scan of the probed target covers: its whole sectors.
std::uint64_t ScannedBytes(const TDriveProbe& Probe) {
    const std::uint64_t ss = std::max(1u, Probe.Info.BytesPerSector);
    return static_cast<std::uint64_t>(std::max<std::int64_t>(0, Probe.Info.TotalBytes)) / ss * ss;
}

// The parts of a merge, checked to make one scan of the target together: same target, same
// sector size, same rule, every sector from the first to the last in exactly one part. False
// (said so in one line) when they do not.
bool LoadParts(TCliOptions& Opt, const TDriveProbe& Probe, std::vector<TPieceRecord>& Records) {
    const std::uint32_t sectorSize = Probe.Info.BytesPerSector;
    const std::uint64_t targetBytes = ScannedBytes(Probe);
    std::vector<std::pair<TPartFile, std::string>> parts;
    std::optional<TCarvingRule> rule;
    for (const std::string& file : Opt.Parts) {
        std::string bytes;
        if (!ReadWholeFile(file, bytes)) {
            Fail(file, "the part file cannot be read");
            return false;
        }
        TPartFile part;
        try {
            part = DecodePart(bytes);
        } catch (const TPwError& e) {
            Fail(file, e.what());
            return false;
        }
        if (part.SectorSize != sectorSize || part.TargetBytes != targetBytes) {
            Fail(file, "a part of another target: " + std::to_string(part.TargetBytes) +
                           " bytes in sectors of " + std::to_string(part.SectorSize) + ", not " +
                           std::to_string(targetBytes) + " in sectors of " +
                           std::to_string(sectorSize));
            return false;
        }
        if (!part.Piece.Complete) {
            Fail(file, "the scan of this part was stopped before its end");
            return false;
        }
        if (rule && *rule != part.Rule) {
            Fail(file, std::string("scanned with the ") + CarvingRuleName(part.Rule) +
                           " rule, another part with the " + CarvingRuleName(*rule) + " rule");
            return false;
        }
        rule = part.Rule;
        parts.emplace_back(std::move(part), file);
    }
    if (Opt.Deep && rule != TCarvingRule::Deep) {
        Fail(parts.front().second, "the parts were scanned with the standard rule, not --deep");
        return false;
    }
    Opt.Deep = rule == TCarvingRule::Deep;
    std::sort(parts.begin(), parts.end(), [](const auto& A, const auto& B) {
        return A.first.Piece.First < B.first.Piece.First;
    });
    const auto bytesAt = [&](std::uint64_t Sector) { return std::to_string(Sector * sectorSize); };
    // Sector 0 is never scanned: a first part may begin at sector 0 or 1.
    std::uint64_t covered =
        parts.front().first.Piece.First <= 1 ? parts.front().first.Piece.First : 0;
    const std::string* before = nullptr;
    for (const auto& [part, file] : parts) {
        const TPieceRecord& p = part.Piece;
        if (p.First > covered && !(before == nullptr && p.First <= 1)) {
            Fail(file, "a gap before this part: bytes " + bytesAt(covered) + "-" +
                           bytesAt(p.First) + " are in no part");
            return false;
        }
        if (p.First < covered) {
            Fail(file, "this part overlaps " + DisplayName(*before) + " (bytes " +
                           bytesAt(p.First) + "-" + bytesAt(covered) + ")");
            return false;
        }
        covered = p.End;
        before = &file;
    }
    if (covered * sectorSize != targetBytes) {
        Fail(*before, "a gap after the last part: bytes " + bytesAt(covered) + "-" +
                          std::to_string(targetBytes) + " are in no part");
        return false;
    }
    for (auto& [part, file] : parts)
        Records.push_back(std::move(part.Piece));
    return true;
}

// ranges: the target cut at sector starts, as the merge expects the parts to cover it.
int RunRanges(const TCliOptions& Opt, TStdout& Out) {
    int refused = 1;
    const std::optional<TDriveProbe> probe = OpenTarget(Opt, refused);
    if (!probe) return refused;
    const std::uint64_t ss = std::max(1u, probe->Info.BytesPerSector);
    const std::uint64_t sectors = ScannedBytes(*probe) / ss;
    if (sectors == 0) {
        Fail(Opt.Target, "holds no whole sector to scan");
        return 1;
    }
    const std::uint64_t count = std::min(Opt.RangeCount, sectors);
    // Range i starts at i * q + min(i, r) sectors: no product of two large numbers to overflow.
    const std::uint64_t q = sectors / count;
    const std::uint64_t r = sectors % count;
    const auto startOf = [&](std::uint64_t i) { return (i * q + std::min(i, r)) * ss; };
    for (std::uint64_t i = 0; i < count; ++i)
        Out.Write(std::to_string(startOf(i)) + "-" + std::to_string(startOf(i + 1)) + "\n");
    return 0;
}

// scan --range --part: one piece of the scan, written to a part file for a merge.
int RunPart(TCliOptions& Opt) {
    int refused = 1;
    std::optional<TDriveProbe> probe = OpenTarget(Opt, refused);
    if (!probe) return refused;
    TCliProgress progress(std::cerr, IsTerminal(2), 0);
    try {
        TScanOptions options{Opt.SectorSize,
                             Opt.Deep ? TCarvingRule::Deep : TCarvingRule::Standard};
        TScanHardDisk scan(
            std::make_unique<TDiskBuffer>(std::move(*probe), TScanHardDisk::BufferSize), options,
            progress);
        progress.SetSectorSize(scan.SectorSize());
        const std::uint64_t ss = scan.SectorSize();
        const std::size_t dash = Opt.Range.find('-');
        const auto start = ParseDecimal(Opt.Range.substr(0, dash));
        const auto end =
            dash == std::string::npos ? std::nullopt : ParseDecimal(Opt.Range.substr(dash + 1));
        if (!start || !end || *start >= *end || *end > scan.DriveBytes() || *start % ss != 0 ||
            *end % ss != 0) {
            std::cerr << Program << ": --range " << Opt.Range
                      << ": must be START-END, decimal byte offsets with START before END, both "
                         "multiples of the sector size ("
                      << ss << ") and END at most the target's " << scan.DriveBytes() << " bytes\n";
            return 2;
        }
        TPartFile part;
        part.TargetBytes = scan.DriveBytes();
        part.SectorSize = scan.SectorSize();
        part.Rule = options.Rule;
        part.Piece = scan.ScanRange(*start / ss, *end / ss);
        if (!part.Piece.Complete) {
            std::cerr << Program << ": interrupted: the scan was stopped by Ctrl+C; "
                      << DisplayName(Opt.Part) << " was not written\n";
            return 130;
        }
        // Written under another name first: a part file that exists is a whole one.
        const std::string partial = Opt.Part + ".partial";
        {
            std::ofstream out(partial, std::ios::binary | std::ios::trunc);
            const std::string bytes = EncodePart(part);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            out.close();
            if (!out) {
                std::error_code ec;
                std::filesystem::remove(partial, ec);
                Fail(Opt.Part, "the part file could not be written");
                return 1;
            }
        }
        std::error_code ec;
        std::filesystem::rename(partial, Opt.Part, ec);
        if (ec) {
            std::filesystem::remove(partial, ec);
            Fail(Opt.Part, "the part file could not be written");
            return 1;
        }
        return part.Piece.Unreadable.empty() ? 0 : 3;
    } catch (const TPwError& e) {
        Fail(Opt.Target, e.what());
    } catch (const std::bad_alloc&) {
        Fail(Opt.Target, "out of memory");
    }
    return 1;
}

int RunScan(TCliOptions& Opt, TStdout& Out) {
    if (!Opt.Part.empty()) return RunPart(Opt);
    TScanPlan plan;
    if (const auto status = SettlePlan(Opt, plan)) return *status;
    if (const auto status = CheckOutputs(Opt)) return *status;
    // Lines streamed to the terminal are the progress there; a bar drawn between them would
    // break them up.
    const bool streaming = Opt.JsonLines && !plan.Column;
    const unsigned fields = Opt.Json || Opt.JsonLines ? Opt.Fields : 0u;
    const bool needCopies = Opt.Unique || (fields & JsonCopyOf) != 0;
    // What is written after the scan from what it found. The row filters and the lines streamed
    // read each message as it comes; the copies compare it with the earlier ones' bytes.
    const bool filesAfter = !Opt.ExportDir.empty() || !Opt.Mbox.empty() || !Opt.Dfxml.empty();
    const bool bytesAfter =
        filesAfter || needCopies ||
        (!streaming && (fields & (JsonBody | JsonFullText | JsonDecoded | JsonSha256)) != 0);
    // Lines written as the messages come and nothing else: the scan holds none of them after its
    // line, however many the drive holds. Rows written after it from their fields alone: it holds
    // the fields, not the mail. Neither needs a scratch file.
    const TFoundEmails::TKeep keep = streaming && !bytesAfter ? TFoundEmails::TKeep::Latest
                                     : !bytesAfter            ? TFoundEmails::TKeep::LatestBytes
                                                              : TFoundEmails::TKeep::Everything;
    const bool latestOnly = keep == TFoundEmails::TKeep::Latest;
    int refused = 1;
    std::optional<TDriveProbe> probe =
        OpenTarget(Opt, refused, keep == TFoundEmails::TKeep::Everything);
    if (!probe) return refused;
    std::vector<TPieceRecord> parts;
    if (Opt.Merging && !LoadParts(Opt, *probe, parts)) return 1;

    TCliProgress progress(std::cerr, IsTerminal(2) && !(streaming && IsTerminal(1)), 0);
    TRowPicker picker(Opt, needCopies, !latestOnly);
    TResultPrinter printer(Opt, Out, picker, streaming);
    TPickingHost host(
        progress, picker,
        [&](const TScanResult& SoFar, std::size_t Item) { printer.Found(SoFar, Item); },
        [&] { printer.Moving(); });
    // Once the results cannot be written (a reader gone, a full disk) the scan stops: what it
    // finds after would be lost.
    progress.StopWhen([&] { return Out.Broken(); });
    printer.Begin();
    TScanned scanned;
    if (!ScanTarget(Opt, std::move(*probe), progress, host, scanned, Opt.Merging ? &parts : nullptr,
                    keep))
        return 1;

    std::vector<std::size_t> rows = std::move(picker.Rows);
    if (plan.Column) SortItems(rows, scanned.Result.Emails, *plan.Column, !Opt.Descending);
    printer.PrintAll(scanned.Result, rows);
    // The last lines go out now, not after the export.
    Out.Flush();
    int status = ScanStatus(Opt, progress, scanned.Result, picker.Shown);
    if (Out.Broken() && scanned.Result.Cancelled)
        std::cerr << Program
                  << ": the scan was stopped: its results could not be written to "
                     "standard output; the "
                  << scanned.Result.Emails.size() << " messages found before are kept\n";
    // Rows past the list are wrong usage, told at once; the mailbox and the report, which do
    // not depend on them, are written all the same.
    bool wrongRows = false;
    if (!Opt.ExportDir.empty())
        if (const auto failed = ExportChosen(Opt, plan, scanned.Result.Emails, rows)) {
            wrongRows = *failed == 2;
            status = *failed;
        }
    if (!WriteFiles(Opt, scanned, rows)) status = 1;
    if (wrongRows) return 2;
    if (!progress.Interrupted() && InterruptRequested())
        std::cerr << Program
                  << ": interrupted: Ctrl+C came after the scan; everything it found "
                     "was still written\n";
    // The shell's status for a program ended by Ctrl+C.
    if (progress.Interrupted() || InterruptRequested()) return 130;
    return status;
}

// The options of the scan command whose use depends on others, checked after parsing.
struct TScanOptionLinks {
    CLI::Option* Export = nullptr;
    CLI::Option* Items = nullptr;
    CLI::Option* All = nullptr;
    CLI::Option* Fields = nullptr;
    CLI::Option* Force = nullptr;
    CLI::Option* NoClobber = nullptr;
};

std::string NotEmpty(const std::string& S) {
    return S.empty() ? "must not be empty" : "";
}

void AddSectorSizeOption(CLI::App* Command, TCliOptions& Opt) {
    // Taken as text and read as a decimal number here: the parser's own reading would take a
    // leading zero for octal ("0512" as 330).
    Command
        ->add_option("--sector-size", Opt.SectorSizeText,
                     "Bytes per sector of an image file, in decimal (default 512, or what an EWF "
                     "image stores); a block device has its own, and a different one is refused")
        ->check([](const std::string& s) -> std::string {
            const auto v = ParseDecimal(s);
            if (!v) return "not a decimal number";
            if (*v < 256 || *v > 65536 || (*v & (*v - 1)) != 0)
                return "must be a power of two from 256 to 65536";
            return {};
        });
}

// What to list and how: the sector size, the filters, the order and the output's form.
TScanOptionLinks AddListOptions(CLI::App* Scan, TCliOptions& Opt, std::string& FieldsText) {
    TScanOptionLinks links;
    Scan->add_option("TARGET", Opt.Target, TargetHelp)->required();
    AddSectorSizeOption(Scan, Opt);
    // An empty keyword (an unset shell variable, say) would silently show every row.
    Scan->add_option("--keyword,-k", Opt.Keyword,
                     "Show only messages whose body holds this text, ignoring case")
        ->check(NotEmpty);
    Scan->add_option("--sort", Opt.Sort,
                     "Sort the rows by a column: item (by number), date, from, to or subject "
                     "(by text, ignoring case); ascending unless --descending");
    Scan->add_flag("--descending", Opt.Descending, "Sort in descending order")
        ->needs(Scan->get_option("--sort"));
    CLI::Option* json = Scan->add_flag(
        "--json", Opt.Json,
        "Print one JSON array instead of the table: an object per row with item, offset (drive "
        "byte offset of the message's first line), rule (\"standard\" or \"deep\": the carving "
        "rule that found it), date, from, to, subject, body, fulltext, decoded, sha256, copy_of, "
        "client_deleted (true when the mail program marked the message deleted) and inside (the "
        "compressed streams it was found in, outermost first: kind, offset where the stream "
        "begins, at where the next stream or the message begins in its inflated bytes). Each "
        "stored byte is the character of the same code (U+0000 to U+00FF), so the bytes can be "
        "recovered exactly");
    Scan->add_flag("--json-lines", Opt.JsonLines,
                   "Print one JSON object per line instead of the table, with the fields of "
                   "--json; without --sort each line is printed as soon as its message is found")
        ->excludes(json);
    links.Fields =
        Scan->add_option("--fields", FieldsText,
                         "The fields of each JSON object, comma-separated, printed in the order "
                         "of --json: " +
                             JsonFieldNames() + " (default: all)")
            ->check([](const std::string& s) -> std::string {
                std::string unknown;
                if (ParseJsonFields(s, unknown)) return {};
                return unknown.empty() ? "names no field" : "unknown field \"" + unknown + "\"";
            });
    Scan->add_option("--jobs,-j", Opt.Jobs,
                     "Threads that carve pieces of the drive at once (default: " +
                         std::to_string(TScanOptions::DefaultJobs()) +
                         " here); the results are the same for any number")
        ->check(CLI::Range(1u, 1024u));
    Scan->add_flag("--deep", Opt.Deep,
                   "Deep scan: also recover messages with long header blocks (chains of Received "
                   "lines), 8-bit bodies and quoted replies, cutting each one exactly; where it "
                   "finds no message, the standard rule is still applied. Also opens gzip members "
                   "(mbox.gz, .tar.gz) and zip entries at sector starts and scans what they "
                   "inflate, three streams deep, at most 1 GiB and 1000 times the compressed "
                   "bytes a stream");
    Scan->add_option("--text", Opt.Text,
                     "Show only messages whose decoded From, To, Subject or text holds this text, "
                     "ignoring case in any script (encoded words, charsets, quoted-printable and "
                     "base64 undone first)")
        ->check(NotEmpty);
    Scan->add_flag("--unique", Opt.Unique,
                   "Show only the first of each set of copies (messages with equal stored bytes); "
                   "the JSON's copy_of names the first for every later copy");
    Scan->add_flag("--client-deleted", Opt.ClientDeleted,
                   "Show only messages their mail program marked deleted and had not yet dropped "
                   "from its folder file (X-Mozilla-Status with the expunged bit, or Status or "
                   "X-Status holding D); the JSON's client_deleted says it for every message");
    return links;
}

// What to write besides the list: .eml files, a mailbox, a report.
void AddWriteOptions(CLI::App* Scan, TCliOptions& Opt, TScanOptionLinks& Links) {
    // An unset shell variable must not pass for "export nowhere".
    Links.Export =
        Scan->add_option("--export", Opt.ExportDir,
                         "Write chosen rows to this folder as RecoveredEmail<row>.eml (row = "
                         "position in the list as shown, from 0), each holding the stored "
                         "message byte for byte. The folder is tested before the scan; success "
                         "is reported only when every file was written. The folder that holds "
                         "the image being scanned is refused unless --force is given")
            ->check(NotEmpty);
    Links.Items =
        Scan->add_option("--items", Opt.Items,
                         "Rows to export, by position in the list as shown, in decimal: 0,3,7 or "
                         "2-5; a row named twice is written once")
            ->check([](const std::string& s) -> std::string {
                return ParseRowList(s) ? "" : "expected row positions such as 0,3,7 or 2-5";
            })
            ->needs(Links.Export);
    Links.All = Scan->add_flag("--all", Opt.All, "Export every row shown")->needs(Links.Export);
    Links.Items->excludes(Links.All);
    // The reports are written through a temporary file renamed into place: a path that is the
    // target, a device, a FIFO or a folder is refused before the scan.
    Scan->add_option("--mbox", Opt.Mbox,
                     "Write the rows shown to this file as one mboxrd mailbox, the stored bytes "
                     "of each message unchanged apart from \">From \" quoting")
        ->check(NotEmpty);
    Scan->add_option("--dfxml", Opt.Dfxml,
                     "Write a DFXML report of the rows shown to this file: the image, and per "
                     "message its export name, byte run on the image, and SHA-256 and MD5 of "
                     "its stored bytes")
        ->check(NotEmpty);
    Links.Force = Scan->add_flag("--force", Opt.Force,
                                 "Write the export, mailbox or report even into the folder that "
                                 "holds the image being scanned");
    Links.NoClobber = Scan->add_flag(
        "--no-clobber", Opt.NoClobber,
        "Keep files that exist already: such a file (an .eml file, the mailbox or the report) is "
        "named and counted as not written (exit status 1), never replaced");
}

// Parses the command line into Opt; the exit status when the program ends here (help, version,
// wrong usage), nothing when it goes on.
std::optional<int> ParseCommandLine(int argc, char** argv, TCliOptions& Opt, bool& ListDrives) {
    CLI::App app{"Recovers e-mail messages, deleted ones above all, by reading a drive or a disk "
                 "image raw, sector by sector, and carving the stored messages out of the bytes.",
                 Program};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string(Program) + " " + PW_VERSION);
    app.footer("Exit status: 0 success; 1 error (the target cannot be read, the results could not "
               "be written, the export failed); 2 wrong usage; 3 the scan completed but some "
               "sectors could not be read (they count as zeros; the count is on standard "
               "error); 130 Ctrl+C was pressed (the scan stops, and what it found is still "
               "printed, exported and written in full; a second Ctrl+C ends the program at "
               "once).\n"
               "Drives: " +
               std::string(DriveRights) +
               ".\n"
               "Run '" +
               std::string(Program) + " scan --help' for the scan's options.\n");
    CLI::App* drives =
        app.add_subcommand("drives", "List the drives that can be read now, one per line.");
    CLI::App* scan = app.add_subcommand(
        "scan", "Scan a drive, block device or disk image and list the messages found, in found "
                "order: \"Item Num\", \"Date\", \"From\", \"To\", \"Subject\". The progress bar "
                "goes to standard error when that is a terminal.");
    std::string fieldsText;
    TScanOptionLinks links = AddListOptions(scan, Opt, fieldsText);
    AddWriteOptions(scan, Opt, links);
    CLI::Option* range = scan->add_option(
        "--range", Opt.Range,
        "Scan only the messages that start in bytes START-END (decimal, sector-aligned) and "
        "write what a merge needs to the file --part names");
    CLI::Option* part =
        scan->add_option("--part", Opt.Part, "The part file --range writes")->needs(range);
    range->needs(part);
    CLI::App* merge = app.add_subcommand(
        "merge", "Merge part files made by 'scan TARGET --range START-END --part FILE' into what "
                 "one scan of TARGET gives, with every listing and output option of 'scan'.");
    std::string mergeFieldsText;
    TScanOptionLinks mergeLinks = AddListOptions(merge, Opt, mergeFieldsText);
    AddWriteOptions(merge, Opt, mergeLinks);
    merge->add_option("PART", Opt.Parts, "The part files, one for each range")->required();

    CLI::App* ranges = app.add_subcommand(
        "ranges", "Print COUNT byte ranges that cut TARGET at sector starts into pieces of nearly "
                  "equal size, one START-END per line, in order: the ranges for 'scan TARGET "
                  "--range START-END --part FILE' on as many machines (fewer when TARGET has fewer "
                  "sectors).");
    ranges->add_option("TARGET", Opt.Target, TargetHelp)->required();
    ranges->add_option("COUNT", Opt.RangeCount, "How many ranges, in decimal")
        ->required()
        ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 32));
    AddSectorSizeOption(ranges, Opt);

    for (int i = 0; i < argc; ++i)
        Opt.CommandLine.append(i ? " " : "").append(argv[i]);
    try {
        app.parse(argc, argv);
        Opt.Merging = merge->parsed();
        if (Opt.Merging) {
            links = mergeLinks;
            fieldsText = mergeFieldsText;
        }
        if (part->count() > 0 && (Opt.Json || Opt.JsonLines || links.Export->count() > 0 ||
                                  !Opt.Mbox.empty() || !Opt.Dfxml.empty()))
            throw CLI::ValidationError("--part", "writes a part file only; the listing and the "
                                                 "files come from 'merge'");
        if (links.Export->count() > 0 && links.Items->count() == 0 && links.All->count() == 0)
            throw CLI::ValidationError("--export", "needs --items or --all");
        if (links.Fields->count() > 0 && !Opt.Json && !Opt.JsonLines)
            throw CLI::ValidationError("--fields", "needs --json or --json-lines");
        const bool writes = links.Export->count() > 0 || !Opt.Mbox.empty() || !Opt.Dfxml.empty();
        if (links.Force->count() > 0 && !writes)
            throw CLI::ValidationError("--force", "needs --export, --mbox or --dfxml");
        if (links.NoClobber->count() > 0 && !writes)
            throw CLI::ValidationError("--no-clobber", "needs --export, --mbox or --dfxml");
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
    ListDrives = drives->parsed();
    Opt.Ranges = ranges->parsed();
    Opt.ItemsGiven = links.Items->count() > 0;
    if (links.Fields->count() > 0) {
        std::string unknown;
        Opt.Fields = *ParseJsonFields(fieldsText, unknown);
    }
    Opt.Target = DriveTarget(PlatformSystem(), Opt.Target);
    if (!Opt.SectorSizeText.empty())
        Opt.SectorSize = static_cast<std::uint32_t>(*ParseDecimal(Opt.SectorSizeText));
    return std::nullopt;
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
    IgnoreBrokenPipe();
    TCliOptions opt;
    bool listDrives = false;
    if (const auto status = ParseCommandLine(argc, argv, opt, listDrives)) return *status;

    TStdout out;
    int status = 1;
    // From here on the first Ctrl+C lets the scan's results be written in full.
    std::optional<TInterruptCatch> interrupt;
    if (!listDrives && !opt.Ranges) interrupt.emplace();
    try {
        status = listDrives ? RunDrives(out) : opt.Ranges ? RunRanges(opt, out) : RunScan(opt, out);
    } catch (const std::exception& e) {
        std::cerr << Program << ": " << e.what() << "\n";
        status = 1;
    }
    if (!out.Finish() && status != 2) status = 1;
    return status;
}
