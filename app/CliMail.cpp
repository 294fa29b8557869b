#include "app/CliMail.h"

#include <algorithm>

#include "app/CliFormat.h"
#include "engine/CodePage1252.h"
#include "engine/Export.h"
#include "mail/DecodedMessage.h"

namespace {

// XML 1.0 cannot hold most control characters even escaped, nor U+FFFE and U+FFFF; the other
// non-characters it holds but tells against. All of them become U+FFFD, so that the report is
// well-formed and plain whatever the names given.
std::string XmlSafe(std::string_view Text) {
    const std::string valid = ValidUtf8(Text);
    std::string out;
    for (std::size_t i = 0; i < valid.size();) {
        const auto b = static_cast<unsigned char>(valid[i]);
        const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t c = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
        for (std::size_t k = 1; k < n && i + k < valid.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(valid[i + k]) & 0x3F);
        const bool control = c < 0x20 && c != '\t' && c != '\n' && c != '\r';
        const bool nonCharacter = (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE;
        if (control || nonCharacter)
            out += "\xEF\xBF\xBD";
        else
            out.append(valid, i, n);
        i += n;
    }
    return out;
}

// The report as it is written: its head, the fileobjects of some rows at a time, its end. Each
// piece is handed out as made, so that memory does not grow with the rows.
class TDfxmlPieces {
  public:
    TDfxmlPieces(const TReportSource& Source, const TFoundEmails& Emails,
                 const TEmailPlaces& Places, const std::vector<std::size_t>& Rows)
        : FSource(Source), FEmails(Emails), FPlaces(Places), FRows(Rows) {}

    // The next piece; false after the last.
    bool Next(std::string& Piece) {
        if (FDone) return false;
        if (!FStarted) {
            Head();
            FStarted = true;
            Piece = FWriter.TakeWritten();
            return true;
        }
        if (FRow < FRows.size()) {
            for (const std::size_t end = std::min(FRows.size(), FRow + RowsPerPiece); FRow < end;
                 ++FRow)
                FileObject(FRow);
            Piece = FWriter.TakeWritten();
            return true;
        }
        FWriter.Close();
        Piece = FWriter.Take();
        FDone = true;
        return true;
    }

  private:
    static constexpr std::size_t RowsPerPiece = 256;

    void Head() {
        TXmlWriter& w = FWriter;
        w.Open("dfxml");
        w.Attribute("xmloutputversion", "1.0");
        w.Attribute("xmlns", "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML");
        w.Attribute("xmlns:dc", "http://purl.org/dc/elements/1.1/");
        w.Open("metadata");
        w.Element("dc:type", "Carve Report");
        w.Close();
        w.Open("creator");
        w.Attribute("version", "1.0");
        w.Element("program", "parcelwright-cli");
        w.Element("version", PW_REPORT_VERSION);
        w.Open("execution_environment");
        w.Element("command_line", XmlSafe(FSource.CommandLine));
        w.Close();
        w.Close();
        w.Open("source");
        w.Element("image_filename", XmlSafe(FSource.Image));
        w.Element("imagesize", std::to_string(FSource.ImageSize));
        w.Close();
        if (!FSource.Unreadable.empty()) {
            // What could not be read was carved as zeros: an examiner must know where.
            std::uint64_t count = 0;
            for (const TSectorRange& r : FSource.Unreadable)
                count += r.Count;
            w.Open("unreadable_sectors");
            w.Attribute("count", std::to_string(count));
            w.Open("byte_runs");
            for (const TSectorRange& r : FSource.Unreadable) {
                w.Open("byte_run");
                w.Attribute("img_offset", std::to_string(r.First * FSource.SectorSize));
                w.Attribute("len", std::to_string(r.Count * FSource.SectorSize));
                w.Close();
            }
            w.Close();
            w.Close();
        }
    }

    void FileObject(std::size_t Row) {
        const std::size_t item = FRows[Row];
        if (item >= FEmails.size()) return;
        TXmlWriter& w = FWriter;
        const std::string bytes = FEmails.FullText(item);
        const std::string size = std::to_string(bytes.size());
        w.Open("fileobject");
        w.Element("filename", "RecoveredEmail" + std::to_string(Row) + ".eml");
        w.Element("filesize", size);
        w.Open("byte_runs");
        w.Open("byte_run");
        const TEmailPlace place = item < FPlaces.size() ? FPlaces[item] : TEmailPlace();
        if (place.Inside.empty()) {
            w.Attribute("offset", "0");
            w.Attribute("img_offset", std::to_string(place.Offset));
            w.Attribute("len", size);
        } else {
            const TStreamStep& outer = place.Inside.front();
            w.Attribute("img_offset", std::to_string(outer.Offset));
            w.Attribute("len", std::to_string(outer.Length));
            w.Attribute("type", StreamKindName(outer.Kind));
        }
        w.Close();
        w.Close();
        w.Open("hashdigest");
        w.Attribute("type", "md5");
        w.Text(Md5Hex(bytes));
        w.Close();
        w.Open("hashdigest");
        w.Attribute("type", "sha256");
        w.Text(Sha256Hex(bytes));
        w.Close();
        w.Close();
    }

    const TReportSource& FSource;
    const TFoundEmails& FEmails;
    const TEmailPlaces& FPlaces;
    const std::vector<std::size_t>& FRows;
    TXmlWriter FWriter;
    bool FStarted = false;
    bool FDone = false;
    std::size_t FRow = 0;
};

} // namespace

std::string JsonText(std::string_view Utf8) {
    const std::string text = ValidUtf8(Utf8);
    std::string out = "\"";
    for (const char ch : text)
        if (!AppendJsonEscape(out, static_cast<unsigned char>(ch))) out += ch;
    return out + "\"";
}

std::string MailJsonFields(std::string_view FullText, std::optional<std::size_t> CopyOf,
                           unsigned Fields) {
    std::string out;
    if (Fields & JsonDecoded) {
        out += ", \"decoded\": ";
        if (CanDecodeMail()) {
            const TDecodedMessage d = DecodeMessage(FullText);
            out += "{\"from\": " + JsonText(d.From) + ", \"to\": " + JsonText(d.To) +
                   ", \"subject\": " + JsonText(d.Subject) +
                   ", \"date\": " + (d.Time ? JsonText(IsoUtc(*d.Time)) : std::string("null")) +
                   ", \"text\": " + JsonText(d.Text) + ", \"attachments\": [";
            for (std::size_t i = 0; i < d.Attachments.size(); ++i) {
                const TAttachmentInfo& a = d.Attachments[i];
                out += (i ? ", " : "");
                out += "{\"filename\": " + JsonText(a.FileName) +
                       ", \"content_type\": " + JsonText(a.ContentType) +
                       ", \"size\": " + std::to_string(a.Size) + "}";
            }
            out += "]}";
        } else {
            out += "null";
        }
    }
    if (Fields & JsonSha256) {
        const std::string sha = Sha256Hex(FullText);
        out += ", \"sha256\": " + (sha.empty() ? std::string("null") : "\"" + sha + "\"");
    }
    if (Fields & JsonCopyOf)
        out += ", \"copy_of\": " + (CopyOf ? std::to_string(*CopyOf) : std::string("null"));
    return out;
}

TDecodedTextTest DecodedTextTest(std::string Words) {
    return [Words = std::move(Words)](const TFoundEmails& Emails, std::size_t Item) {
        return DecodedContains(DecodeMessage(Emails.FullText(Item)), Words);
    };
}

std::string DfxmlReport(const TReportSource& Source, const TFoundEmails& Emails,
                        const TEmailPlaces& Places,
                        const std::vector<std::size_t>& Rows) {
    TDfxmlPieces pieces(Source, Emails, Places, Rows);
    std::string report;
    for (std::string piece; pieces.Next(piece);)
        report += piece;
    return report;
}

std::string WriteDfxmlReport(const std::string& File, const TReportSource& Source,
                             const TFoundEmails& Emails, const TEmailPlaces& Places,
                             const std::vector<std::size_t>& Rows, bool Replace,
                             TExportOutput& Output) {
    try {
        TDfxmlPieces pieces(Source, Emails, Places, Rows);
        return WriteFileInPieces(
            File, [&](std::string& Piece) { return pieces.Next(Piece); }, Output, Replace);
    } catch (const std::exception& e) {
        return e.what();
    }
}
