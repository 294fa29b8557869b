#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

#include "engine/Export.h"
#include "tests/engine/scan/ScanTestSupport.h"

namespace fs = std::filesystem;

namespace {

TEmailArray ThreeMessages() {
    TEmailArray emails(3);
    emails[0].FullText = "From: a\r\nTo: b\r\nSubject: zero\r\n\r\nbody\r\n";
    static const char odd[] = "From: c\r\n\r\nbytes \x00\x01\xff kept\r\n";
    emails[1].FullText = std::string(odd, sizeof odd - 1);
    emails[2].FullText = "";
    return emails;
}

TEST(Export, FilesAreNamedByRowPositionAndHoldFullTextByteForByte) {
    TTempDir dir;
    const TEmailArray emails = ThreeMessages();
    EXPECT_EQ(ExportFileName("/out", 7), (fs::path("/out") / "RecoveredEmail7.eml").string());
    // Rows 2 and 5 of the list as shown hold items 1 and 0.
    const TExportReport r = ExportRows(dir.Path.string(), emails, {{2, 1}, {5, 0}, {6, 2}});
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.Written, 3u);
    EXPECT_EQ(FileNames(dir.Path),
              (std::vector<std::string>{"RecoveredEmail2.eml", "RecoveredEmail5.eml",
                                        "RecoveredEmail6.eml"}));
    EXPECT_EQ(ReadAll(dir.Path / "RecoveredEmail2.eml"), emails[1].FullText);
    EXPECT_EQ(ReadAll(dir.Path / "RecoveredEmail5.eml"), emails[0].FullText);
    EXPECT_EQ(fs::file_size(dir.Path / "RecoveredEmail6.eml"), 0u);

    // A second export replaces files of the same names.
    ASSERT_TRUE(ExportRows(dir.Path.string(), emails, {{2, 0}}).Ok());
    EXPECT_EQ(ReadAll(dir.Path / "RecoveredEmail2.eml"), emails[0].FullText);
    EXPECT_EQ(FileNames(dir.Path).size(), 3u);
}

TEST(Export, ProbeNeverTouchesAUsersFileAndLeavesNoTrace) {
    TTempDir dir;
    { std::ofstream(dir.Path / "check.DAT", std::ios::binary) << "user data"; }
    EXPECT_EQ(ProbeExportFolder(dir.Path.string()), "");
    EXPECT_EQ(ReadAll(dir.Path / "check.DAT"), "user data");
    EXPECT_EQ(FileNames(dir.Path), std::vector<std::string>{"check.DAT"});
}

TEST(Export, FolderThatCannotBeWrittenIsReportedBeforeAnythingIsWritten) {
    TTempDir dir;
    const TEmailArray emails = ThreeMessages();
    { std::ofstream(dir.Path / "plain-file") << "x"; }
    const std::string notWritable[] = {
        (dir.Path / "missing").string(),    // no such folder
        (dir.Path / "plain-file").string(), // a file, not a folder
        "/proc",                            // refuses new files even to the superuser
    };
    for (const std::string& folder : notWritable) {
        SCOPED_TRACE(folder);
        const TExportReport r = ExportRows(folder, emails, {{0, 0}, {1, 1}});
        EXPECT_FALSE(r.Ok());
        EXPECT_FALSE(r.FolderError.empty());
        EXPECT_EQ(r.Written, 0u);
        EXPECT_FALSE(fs::exists(fs::path(folder) / "RecoveredEmail0.eml"));
    }
    EXPECT_FALSE(fs::exists(dir.Path / "missing"));
}

TEST(Export, EveryFailingFileIsReportedAndNoPartialFileIsLeft) {
    TTempDir dir;
    const TEmailArray emails = ThreeMessages();
    // A non-empty folder stands where two of the files should go.
    for (int n : {1, 3}) {
        fs::create_directories(dir.Path / ("RecoveredEmail" + std::to_string(n) + ".eml") / "in");
    }
    const TExportReport r = ExportRows(dir.Path.string(), emails, {{0, 0}, {1, 1}, {2, 2}, {3, 0}});
    EXPECT_FALSE(r.Ok());
    EXPECT_TRUE(r.FolderError.empty());
    EXPECT_EQ(r.Written, 2u);
    ASSERT_EQ(r.Failures.size(), 2u);
    EXPECT_EQ(r.Failures[0].File, ExportFileName(dir.Path.string(), 1));
    EXPECT_EQ(r.Failures[1].File, ExportFileName(dir.Path.string(), 3));
    EXPECT_FALSE(r.Failures[0].Reason.empty());
    EXPECT_EQ(ReadAll(dir.Path / "RecoveredEmail0.eml"), emails[0].FullText);
    EXPECT_EQ(FileNames(dir.Path),
              (std::vector<std::string>{"RecoveredEmail0.eml", "RecoveredEmail1.eml",
                                        "RecoveredEmail2.eml", "RecoveredEmail3.eml"}));
    // A row naming a message that does not exist is a failure too, not a silent skip.
    const TExportReport bad = ExportRows(dir.Path.string(), emails, {{9, 42}});
    EXPECT_FALSE(bad.Ok());
    EXPECT_EQ(bad.Failures.size(), 1u);
    EXPECT_FALSE(fs::exists(dir.Path / "RecoveredEmail9.eml"));
}

// The real file system, with switches that make it refuse as a read-only or a full disk would:
// a full one takes what fits of a write, then fails; removing a file gives its room back.
class TFaultyOutput : public TExportOutput {
  public:
    std::string RefuseWrites;
    std::string RefuseRenames;
    std::size_t Capacity = std::numeric_limits<std::size_t>::max();

    std::string Write(const fs::path& Path, std::string_view Bytes) override {
        if (!RefuseWrites.empty()) return RefuseWrites;
        FSizes.erase(Path);
        const std::size_t room = Capacity - std::min(Capacity, Used());
        const bool fits = Bytes.size() <= room;
        FSizes[Path] = fits ? Bytes.size() : room;
        const std::string reason = TExportOutput::Write(Path, Bytes.substr(0, FSizes[Path]));
        return fits ? reason : "No space left on device";
    }
    void Remove(const fs::path& Path) override {
        FSizes.erase(Path);
        TExportOutput::Remove(Path);
    }
    std::string Rename(const fs::path& From, const fs::path& To) override {
        if (!RefuseRenames.empty()) return RefuseRenames;
        FSizes[To] = FSizes[From];
        FSizes.erase(From);
        return TExportOutput::Rename(From, To);
    }

  private:
    std::size_t Used() const {
        std::size_t used = 0;
        for (const auto& [path, size] : FSizes)
            used += size;
        return used;
    }
    std::map<fs::path, std::size_t> FSizes;
};

TEmailArray SizedMessages(std::size_t MiddleSize) {
    TEmailArray emails(3);
    emails[0].FullText = MessageOfLength(20000, "zero");
    emails[1].FullText = MessageOfLength(MiddleSize, "one");
    emails[2].FullText = MessageOfLength(1000, "two");
    return emails;
}

const std::vector<TExportRow> ThreeRows = {{0, 0}, {1, 1}, {2, 2}};

TEST(ExportFaults, ReadOnlyFolderIsRefusedBeforeAnyFileIsWritten) {
    TTempDir dir;
    TFaultyOutput readOnly;
    readOnly.RefuseWrites = "Read-only file system";
    const TExportReport report =
        ExportRows(dir.Path.string(), SizedMessages(500), ThreeRows, readOnly);
    EXPECT_FALSE(report.Ok());
    EXPECT_EQ(report.FolderError, "Read-only file system");
    EXPECT_EQ(report.Written, 0u);
    EXPECT_TRUE(FileNames(dir.Path).empty());
    EXPECT_EQ(ProbeExportFolder(dir.Path.string(), readOnly), "Read-only file system");
}

TEST(ExportFaults, FullDiskNamesTheFileAndKeepsWhatWasThere) {
    TTempDir dir;
    // An earlier export's file of the same name must survive a failed replacement whole.
    { std::ofstream(dir.Path / "RecoveredEmail1.eml", std::ios::binary) << "earlier export"; }
    TFaultyOutput full;
    full.Capacity = 128 * 1024;
    const TEmailArray emails = SizedMessages(400000);
    const TExportReport report = ExportRows(dir.Path.string(), emails, ThreeRows, full);
    EXPECT_FALSE(report.Ok());
    EXPECT_TRUE(report.FolderError.empty());
    ASSERT_EQ(report.Failures.size(), 1u);
    EXPECT_EQ(report.Failures[0].File, (dir.Path / "RecoveredEmail1.eml").string());
    EXPECT_EQ(report.Failures[0].Reason, "No space left on device");
    EXPECT_EQ(report.Written, 2u);
    EXPECT_EQ(ReadAll(dir.Path / "RecoveredEmail0.eml"), emails[0].FullText);
    EXPECT_EQ(ReadAll(dir.Path / "RecoveredEmail1.eml"), "earlier export");
    EXPECT_EQ(ReadAll(dir.Path / "RecoveredEmail2.eml"), emails[2].FullText);
    EXPECT_EQ(FileNames(dir.Path),
              (std::vector<std::string>{"RecoveredEmail0.eml", "RecoveredEmail1.eml",
                                        "RecoveredEmail2.eml"}));
}

TEST(ExportFaults, RefusedRenameKeepsTheOldFileAndLeavesNoTemporary) {
    TTempDir dir;
    { std::ofstream(dir.Path / "RecoveredEmail0.eml", std::ios::binary) << "earlier export"; }
    TFaultyOutput output;
    output.RefuseRenames = "Permission denied";
    const TExportReport report =
        ExportRows(dir.Path.string(), SizedMessages(500), {{0, 1}}, output);
    ASSERT_EQ(report.Failures.size(), 1u);
    EXPECT_EQ(report.Failures[0].Reason, "Permission denied");
    EXPECT_EQ(report.Written, 0u);
    EXPECT_EQ(FileNames(dir.Path), std::vector<std::string>{"RecoveredEmail0.eml"});
    EXPECT_EQ(ReadAll(dir.Path / "RecoveredEmail0.eml"), "earlier export");
}

} // namespace
