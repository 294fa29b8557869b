#include "engine/Export.h"

#include <cerrno>
#include <fstream>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace {

std::string FreshSuffix() {
    static thread_local std::mt19937_64 gen{std::random_device{}()};
    const char* digits = "0123456789abcdef";
    std::string s;
    for (std::uint64_t v = gen(), i = 0; i < 12; ++i, v >>= 4)
        s += digits[v & 15];
    return s;
}

std::string Describe(int err) {
    if (err == 0) return "write failed";
    return std::generic_category().message(err);
}

// Writes to Target through a temporary file in the same folder. Empty on success.
std::string WriteThroughTemporary(TExportOutput& Output, const fs::path& Target,
                                  const std::function<std::string(const fs::path&)>& Write,
                                  bool Replace) {
    std::string tempName = ".";
    tempName.append(Target.filename().string()).append(".").append(FreshSuffix()).append(".part");
    const fs::path temp = Target.parent_path() / tempName;
    std::string reason;
    try {
        reason = Write(temp);
    } catch (...) {
        // A writer that fails by throwing leaves no temporary file either.
        Output.Remove(temp);
        throw;
    }
    if (reason.empty())
        reason = Replace ? Output.Rename(temp, Target) : Output.RenameNoReplace(temp, Target);
    if (!reason.empty()) Output.Remove(temp);
    return reason;
}

std::string WriteWhole(TExportOutput& Output, const fs::path& Target, const std::string& Text,
                       bool Replace = true) {
    return WriteThroughTemporary(
        Output, Target, [&](const fs::path& Temp) { return Output.Write(Temp, Text); }, Replace);
}

} // namespace

std::string TExportOutput::WritePieces(const fs::path& Path,
                                       const std::function<bool(std::string&)>& Next) {
    errno = 0;
    std::ofstream out(Path, std::ios::binary | std::ios::trunc);
    if (!out) return Describe(errno);
    std::string piece;
    while (out && Next(piece))
        out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    out.flush();
    if (out) out.close();
    return out ? std::string() : Describe(errno);
}

std::string WriteFileInPieces(const std::string& Target,
                              const std::function<bool(std::string&)>& Next, TExportOutput& Output,
                              bool Replace) {
    return WriteThroughTemporary(
        Output, fs::path(Target),
        [&](const fs::path& Temp) { return Output.WritePieces(Temp, Next); }, Replace);
}

std::string TExportOutput::Write(const fs::path& Path, std::string_view Bytes) {
    errno = 0;
    std::ofstream out(Path, std::ios::binary | std::ios::trunc);
    if (!out) return Describe(errno);
    out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    out.flush();
    // Closing is where a full disk may show first.
    if (out) out.close();
    return out ? std::string() : Describe(errno);
}

void TExportOutput::Remove(const fs::path& Path) {
    std::error_code ignored;
    fs::remove(Path, ignored);
}

std::string TExportOutput::Rename(const fs::path& From, const fs::path& To) {
    std::error_code ec;
    fs::rename(From, To, ec);
    return ec ? ec.message() : std::string();
}

std::string TExportOutput::RenameNoReplace(const fs::path& From, const fs::path& To) {
    std::error_code ec;
    fs::create_hard_link(From, To, ec);
    if (ec == std::errc::file_exists) return ExistsAlready;
    if (!ec) {
        Remove(From);
        return {};
    }
    // A file system without hard links: look, then move (a file made in between is replaced).
    if (fs::exists(fs::symlink_status(To, ec))) return ExistsAlready;
    return Rename(From, To);
}

TExportOutput& RealExportOutput() {
    static TExportOutput output;
    return output;
}

std::string WriteFileWhole(const std::string& Target, const std::string& Text,
                           TExportOutput& Output) {
    return WriteWhole(Output, fs::path(Target), Text);
}

std::string ExportFileName(const std::string& Folder, std::size_t RowPosition) {
    std::string name = "RecoveredEmail";
    name.append(std::to_string(RowPosition)).append(".eml");
    return (fs::path(Folder) / name).string();
}

std::string ProbeExportFolder(const std::string& Folder, TExportOutput& Output) {
    std::error_code ec;
    const fs::file_status st = fs::status(Folder, ec);
    if (!fs::exists(st)) return "no such folder";
    if (!fs::is_directory(st)) return "not a folder";
    for (int attempt = 0; attempt < 8; ++attempt) {
        // A random name nobody uses, checked first, so that nothing of the user's is touched.
        std::string probeName = ".pw-probe-";
        probeName.append(FreshSuffix()).append(".tmp");
        const fs::path probe = fs::path(Folder) / probeName;
        if (fs::exists(probe, ec) || ec) continue;
        std::string reason = Output.Write(probe, {});
        Output.Remove(probe);
        return reason;
    }
    return "no fresh name for a probe file";
}

TExportReport ExportRows(const std::string& Folder, const TFoundEmails& Emails,
                         const std::vector<TExportRow>& Rows, TExportOutput& Output, bool Replace) {
    TExportReport report;
    report.FolderError = ProbeExportFolder(Folder, Output);
    if (!report.FolderError.empty()) return report;
    for (const TExportRow& row : Rows) {
        const std::string name = ExportFileName(Folder, row.RowPosition);
        if (row.Item >= Emails.size()) {
            report.Failures.push_back({name, "no message " + std::to_string(row.Item)});
            continue;
        }
        std::string reason = WriteWhole(Output, fs::path(name), Emails.FullText(row.Item), Replace);
        if (reason.empty())
            ++report.Written;
        else
            report.Failures.push_back({name, std::move(reason)});
    }
    return report;
}
