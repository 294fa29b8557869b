#pragma once

// Writing found messages as .eml files, shared by the desktop program and the command-line
// scanner. A file is named after the row's position in the list as shown ("RecoveredEmail" + row
// position + ".eml") and holds the message's FullText byte for byte.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FoundEmails.h"
#include "engine/Globals.h"

// One row to write: its position in the list as shown and the message's item number.
struct TExportRow {
    std::size_t RowPosition = 0;
    std::size_t Item = 0;
};

struct TExportFailure {
    std::string File;   // the file's full name
    std::string Reason; // why it could not be written
};

struct TExportReport {
    // Set when the folder cannot be written: then nothing was written at all.
    std::string FolderError;
    std::size_t Written = 0;
    std::vector<TExportFailure> Failures;

    // True only when the folder was writable and every file was written.
    bool Ok() const { return FolderError.empty() && Failures.empty(); }
};

// Every change the export makes to the file system goes through here, so that a refusing disk
// (read-only, full, a name taken by a folder) can be played without one. Each answer is empty on
// success, otherwise the reason.
class TExportOutput {
  public:
    virtual ~TExportOutput() = default;
    // Creates or empties Path and writes Bytes to it; may leave a partial file when it fails.
    virtual std::string Write(const std::filesystem::path& Path, std::string_view Bytes);
    // The same for bytes too many to hold at once: Next fills its argument with each following
    // piece and answers false after the last. The default writes each piece as it comes.
    virtual std::string WritePieces(const std::filesystem::path& Path,
                                    const std::function<bool(std::string&)>& Next);
    // Removes a file; failures are of no interest to the caller.
    virtual void Remove(const std::filesystem::path& Path);
    // Moves From onto To, replacing a file of that name.
    virtual std::string Rename(const std::filesystem::path& From, const std::filesystem::path& To);
    // Moves From onto To only when no file of that name exists, deciding that in one step where
    // the file system can (a hard link); otherwise answers ExistsAlready and leaves both.
    virtual std::string RenameNoReplace(const std::filesystem::path& From,
                                        const std::filesystem::path& To);

    static constexpr const char* ExistsAlready = "a file of that name exists already";
};

// The file system itself.
TExportOutput& RealExportOutput();

// Writes Text to Target through a temporary file in the same folder, renamed into place when
// complete. Empty on success, otherwise the reason it was not written.
std::string WriteFileWhole(const std::string& Target, const std::string& Text,
                           TExportOutput& Output = RealExportOutput());

// WriteFileWhole for a file written piece by piece (TExportOutput::WritePieces). With Replace
// false an existing file of that name is kept (TExportOutput::ExistsAlready). When Next throws,
// the temporary file is removed and the exception goes on to the caller.
std::string WriteFileInPieces(const std::string& Target,
                              const std::function<bool(std::string&)>& Next,
                              TExportOutput& Output = RealExportOutput(), bool Replace = true);

// Folder joined with "RecoveredEmail" + RowPosition + ".eml".
std::string ExportFileName(const std::string& Folder, std::size_t RowPosition);

// Creates and deletes a probe file under a fresh name of its own (an existing file is never
// touched). Empty when the folder takes files, otherwise the reason it does not.
std::string ProbeExportFolder(const std::string& Folder,
                              TExportOutput& Output = RealExportOutput());

// Probes the folder, then writes every row; each file goes to a temporary name first and is
// renamed into place, so no partial .eml file is left behind, and an existing file of the same
// name is replaced only by a complete one. With Replace false an existing file is kept, and its
// row counts as a failure (TExportOutput::ExistsAlready).
TExportReport ExportRows(const std::string& Folder, const TFoundEmails& Emails,
                         const std::vector<TExportRow>& Rows,
                         TExportOutput& Output = RealExportOutput(), bool Replace = true);
