#include "CliMail.h"

#include "CliFormat.h"
#include "CodePage1252.h"
#include "DecodedMessage.h"
#include "Export.h"

namespace {

// XML 1.0 cannot hold most control characters even escaped: they become U+FFFD.
std::string XmlSafe(std::string_view Text) {
    std::string out;
    for (char c : ValidUtf8(Text)) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 && c != '\t' && c != '\n' && c != '\r')
            out += "\xEF\xBF\xBD";
        else
            out += c;
    }
    return out;
}

} // namespace

bool CanWriteReport() {
    // The report's libraries come with the mail module's, behind the same seam.
    return CanDecodeMail();
}

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

std::vector<std::size_t> FilterDecodedText(const TFoundEmails& Emails,
                                           const std::vector<std::size_t>& Rows,
                                           std::string_view Words) {
    std::vector<std::size_t> kept;
    for (std::size_t item : Rows)
        if (item < Emails.size() && DecodedContains(DecodeMessage(Emails.FullText(item)), Words))
            kept.push_back(item);
    return kept;
}

std::string DfxmlReport(const TReportSource& Source, const TFoundEmails& Emails,
                        const std::vector<std::uint64_t>& Offsets,
                        const std::vector<std::size_t>& Rows) {
    TXmlWriter w;
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
    w.Element("command_line", XmlSafe(Source.CommandLine));
    w.Close();
    w.Close();
    w.Open("source");
    w.Element("image_filename", XmlSafe(Source.Image));
    w.Element("imagesize", std::to_string(Source.ImageSize));
    w.Close();
    if (!Source.Unreadable.empty()) {
        // What could not be read was carved as zeros: an examiner must know where.
        std::uint64_t count = 0;
        for (const TSectorRange& r : Source.Unreadable)
            count += r.Count;
        w.Open("unreadable_sectors");
        w.Attribute("count", std::to_string(count));
        w.Open("byte_runs");
        for (const TSectorRange& r : Source.Unreadable) {
            w.Open("byte_run");
            w.Attribute("img_offset", std::to_string(r.First * Source.SectorSize));
            w.Attribute("len", std::to_string(r.Count * Source.SectorSize));
            w.Close();
        }
        w.Close();
        w.Close();
    }
    for (std::size_t row = 0; row < Rows.size(); ++row) {
        const std::size_t item = Rows[row];
        if (item >= Emails.size()) continue;
        const std::string bytes = Emails.FullText(item);
        const std::string size = std::to_string(bytes.size());
        w.Open("fileobject");
        w.Element("filename", "RecoveredEmail" + std::to_string(row) + ".eml");
        w.Element("filesize", size);
        w.Open("byte_runs");
        w.Open("byte_run");
        w.Attribute("offset", "0");
        w.Attribute("img_offset", std::to_string(item < Offsets.size() ? Offsets[item] : 0));
        w.Attribute("len", size);
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
    w.Close();
    return w.Take();
}

std::string WriteDfxmlReport(const std::string& File, const TReportSource& Source,
                             const TFoundEmails& Emails, const std::vector<std::uint64_t>& Offsets,
                             const std::vector<std::size_t>& Rows) {
    std::string text;
    try {
        text = DfxmlReport(Source, Emails, Offsets, Rows);
    } catch (const std::exception& e) {
        return e.what();
    }
    return WriteFileWhole(File, text);
}
