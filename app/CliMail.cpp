#include "CliMail.h"

#include <stdexcept>

#include "CliFormat.h"
#include "Export.h"

#ifdef PW_WITH_MAIL
#include "DecodedMessage.h"
#endif
#ifdef PW_WITH_REPORT
#include <libxml/xmlwriter.h>
#include <nettle/md5.h>
#include <nettle/sha2.h>
#endif

namespace {

std::string Hex(const unsigned char* Digest, std::size_t Size) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < Size; ++i) {
        out += hex[Digest[i] >> 4];
        out += hex[Digest[i] & 15];
    }
    return out;
}

// Without the mail module, text is checked here: ill-formed UTF-8 becomes U+FFFD.
std::string CheckedUtf8(std::string_view Text) {
#ifdef PW_WITH_MAIL
    return ValidUtf8(Text);
#else
    std::string out;
    for (std::size_t i = 0; i < Text.size();) {
        const auto c = static_cast<unsigned char>(Text[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = n > 0 && i + n <= Text.size();
        for (std::size_t k = 1; ok && k < n; ++k)
            ok = (static_cast<unsigned char>(Text[i + k]) & 0xC0) == 0x80;
        if (ok) {
            out.append(Text.substr(i, n));
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
#endif
}

} // namespace

bool CanDecodeMail() {
#ifdef PW_WITH_MAIL
    return true;
#else
    return false;
#endif
}

bool CanWriteReport() {
#ifdef PW_WITH_REPORT
    return true;
#else
    return false;
#endif
}

std::string JsonText(std::string_view Utf8) {
    const std::string text = CheckedUtf8(Utf8);
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
#ifdef PW_WITH_MAIL
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
#else
        out += "null";
#endif
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
#ifdef PW_WITH_MAIL
    std::vector<std::size_t> kept;
    for (std::size_t item : Rows)
        if (item < Emails.size() && DecodedContains(DecodeMessage(Emails.FullText(item)), Words))
            kept.push_back(item);
    return kept;
#else
    (void)Emails;
    (void)Rows;
    (void)Words;
    throw std::logic_error("this build does not decode mail");
#endif
}

std::string Sha256Hex(std::string_view Bytes) {
#ifdef PW_WITH_REPORT
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, Bytes.size(), reinterpret_cast<const std::uint8_t*>(Bytes.data()));
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    return Hex(digest, sizeof digest);
#else
    (void)Bytes;
    (void)Hex;
    return {};
#endif
}

std::string Md5Hex(std::string_view Bytes) {
#ifdef PW_WITH_REPORT
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, Bytes.size(), reinterpret_cast<const std::uint8_t*>(Bytes.data()));
    unsigned char digest[MD5_DIGEST_SIZE];
    md5_digest(&ctx, sizeof digest, digest);
    return Hex(digest, sizeof digest);
#else
    (void)Bytes;
    return {};
#endif
}

#ifdef PW_WITH_REPORT
namespace {

class TXmlWriter {
  public:
    TXmlWriter() : FBuffer(xmlBufferCreate()), FWriter(FBuffer ? xmlNewTextWriterMemory(FBuffer, 0) : nullptr) {
        if (!FWriter) throw std::runtime_error("cannot start the XML writer");
        xmlTextWriterSetIndent(FWriter, 1);
        xmlTextWriterSetIndentString(FWriter, BAD_CAST "  ");
    }
    ~TXmlWriter() {
        if (FWriter) xmlFreeTextWriter(FWriter);
        if (FBuffer) xmlBufferFree(FBuffer);
    }
    TXmlWriter(const TXmlWriter&) = delete;
    TXmlWriter& operator=(const TXmlWriter&) = delete;

    void Check(int Result) {
        if (Result < 0) throw std::runtime_error("cannot write the XML report");
    }
    void Open(const char* Name) { Check(xmlTextWriterStartElement(FWriter, BAD_CAST Name)); }
    void Close() { Check(xmlTextWriterEndElement(FWriter)); }
    void Attribute(const char* Name, const std::string& Value) {
        Check(xmlTextWriterWriteAttribute(FWriter, BAD_CAST Name, BAD_CAST Value.c_str()));
    }
    // Text is written as UTF-8 with the characters XML cannot hold dropped by the writer's
    // escaping; a file name from the user is checked for valid UTF-8 first.
    void Element(const char* Name, const std::string& Text) {
        Check(xmlTextWriterWriteElement(FWriter, BAD_CAST Name, BAD_CAST Text.c_str()));
    }
    xmlTextWriterPtr Get() { return FWriter; }
    std::string Take() {
        Check(xmlTextWriterEndDocument(FWriter));
        xmlFreeTextWriter(FWriter);
        FWriter = nullptr;
        return std::string(reinterpret_cast<const char*>(xmlBufferContent(FBuffer)),
                           static_cast<std::size_t>(xmlBufferLength(FBuffer)));
    }

  private:
    xmlBufferPtr FBuffer;
    xmlTextWriterPtr FWriter;
};

// XML 1.0 cannot hold most control characters even escaped: they become U+FFFD.
std::string XmlSafe(std::string_view Text) {
    std::string out;
    for (char c : CheckedUtf8(Text)) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 && c != '\t' && c != '\n' && c != '\r')
            out += "\xEF\xBF\xBD";
        else
            out += c;
    }
    return out;
}

} // namespace
#endif

std::string DfxmlReport(const TReportSource& Source, const TFoundEmails& Emails,
                        const std::vector<std::uint64_t>& Offsets,
                        const std::vector<std::size_t>& Rows) {
#ifdef PW_WITH_REPORT
    TXmlWriter w;
    w.Check(xmlTextWriterStartDocument(w.Get(), "1.0", "UTF-8", nullptr));
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
        w.Check(xmlTextWriterWriteString(w.Get(), BAD_CAST Md5Hex(bytes).c_str()));
        w.Close();
        w.Open("hashdigest");
        w.Attribute("type", "sha256");
        w.Check(xmlTextWriterWriteString(w.Get(), BAD_CAST Sha256Hex(bytes).c_str()));
        w.Close();
        w.Close();
    }
    w.Close();
    return w.Take();
#else
    (void)Source;
    (void)Emails;
    (void)Offsets;
    (void)Rows;
    throw std::logic_error("this build does not write reports");
#endif
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
