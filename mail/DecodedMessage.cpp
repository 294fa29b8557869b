#include "DecodedMessage.h"

#include <gmime/gmime.h>
#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>

#include "CodePage1252.h"

namespace {

struct TUnref {
    void operator()(gpointer p) const {
        if (p) g_object_unref(p);
    }
};
struct TGFree {
    void operator()(gpointer p) const { g_free(p); }
};
using TGString = std::unique_ptr<char, TGFree>;

// GMime and libxml2 keep process-wide tables; both are set up once, before any message is read,
// and the parser options are only read after that, so decoding may run on several threads.
GMimeParserOptions* Options() {
    static GMimeParserOptions* options = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        g_mime_init();
        xmlInitParser();
        options = g_mime_parser_options_new();
        // Carved mail is often old or sloppy: accept what real mail programs accept.
        g_mime_parser_options_set_rfc2047_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_address_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_parameter_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_allow_addresses_without_domain(options, TRUE);
        // Undeclared 8-bit header text: UTF-8 when it is valid UTF-8, else the Windows code page
        // the rest of the program assumes for stored bytes.
        const char* fallback[] = {"UTF-8", "windows-1252", nullptr};
        g_mime_parser_options_set_fallback_charsets(options, fallback);
    });
    return options;
}

std::unique_ptr<GMimeMessage, TUnref> Parse(std::string_view Stored) {
    GMimeParserOptions* options = Options();
    // The memory stream copies the bytes: the stored message is never touched.
    std::unique_ptr<GMimeStream, TUnref> stream(
        g_mime_stream_mem_new_with_buffer(Stored.data(), Stored.size()));
    std::unique_ptr<GMimeParser, TUnref> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    return std::unique_ptr<GMimeMessage, TUnref>(
        g_mime_parser_construct_message(parser.get(), options));
}

std::string StreamBytes(GMimeStream* Mem) {
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(Mem));
    if (!bytes || bytes->len == 0) return {};
    return std::string(reinterpret_cast<const char*>(bytes->data), bytes->len);
}

// A part's content with its transfer encoding (quoted-printable, base64, uuencode) undone.
std::string PartBytes(GMimePart* Part) {
    GMimeDataWrapper* content = g_mime_part_get_content(Part);
    if (!content) return {};
    std::unique_ptr<GMimeStream, TUnref> mem(g_mime_stream_mem_new());
    if (g_mime_data_wrapper_write_to_stream(content, mem.get()) < 0) return StreamBytes(mem.get());
    return StreamBytes(mem.get());
}

// Bytes in a named charset as UTF-8; nullopt when the charset is unknown. Bytes that do not
// belong to the charset are skipped by the converter rather than ending the text.
std::optional<std::string> Convert(const std::string& Bytes, const char* Charset) {
    GMimeFilter* filter = g_mime_filter_charset_new(Charset, "UTF-8");
    if (!filter) return std::nullopt;
    std::unique_ptr<GMimeStream, TUnref> mem(g_mime_stream_mem_new());
    std::unique_ptr<GMimeStream, TUnref> filtered(g_mime_stream_filter_new(mem.get()));
    g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), filter);
    g_object_unref(filter);
    g_mime_stream_write(filtered.get(), Bytes.data(), Bytes.size());
    g_mime_stream_flush(filtered.get());
    filtered.reset();
    return StreamBytes(mem.get());
}

bool IsUtf8Name(const char* Charset) {
    return g_ascii_strcasecmp(Charset, "utf-8") == 0 || g_ascii_strcasecmp(Charset, "utf8") == 0 ||
           g_ascii_strcasecmp(Charset, "us-ascii") == 0 || g_ascii_strcasecmp(Charset, "ascii") == 0;
}

std::string ToUtf8(const std::string& Bytes, const char* Charset) {
    if (Charset && *Charset && !IsUtf8Name(Charset)) {
        if (std::optional<std::string> text = Convert(Bytes, Charset);
            text && g_utf8_validate(text->data(), static_cast<gssize>(text->size()), nullptr))
            return *text;
    }
    if (g_utf8_validate(Bytes.data(), static_cast<gssize>(Bytes.size()), nullptr)) return Bytes;
    // Declared wrongly or not at all: the Windows code page, as for header text.
    return ValidUtf8(Convert(Bytes, "windows-1252").value_or(Bytes));
}

std::string WithLf(std::string Text) {
    std::string out;
    out.reserve(Text.size());
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') continue;
        out += Text[i];
    }
    return out;
}

std::string Lower(std::string S) {
    for (char& c : S)
        c = static_cast<char>(g_ascii_tolower(c));
    return S;
}

std::string MimeType(GMimeObject* Object) {
    GMimeContentType* type = g_mime_object_get_content_type(Object);
    if (!type) return "text/plain";
    TGString name(g_mime_content_type_get_mime_type(type));
    return Lower(name ? name.get() : "application/octet-stream");
}

// ---- HTML as plain text -----------------------------------------------------------------------

class THtmlText {
  public:
    std::string Take() {
        // At most one empty line in a row, none at either end, no spaces before a line's end.
        std::string out;
        std::size_t newlines = 0;
        for (char c : FOut) {
            if (c == '\n') {
                while (!out.empty() && out.back() == ' ')
                    out.pop_back();
                if (out.empty()) continue;
                if (++newlines <= 2) out += c;
            } else {
                newlines = 0;
                out += c;
            }
        }
        while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
            out.pop_back();
        return out;
    }

    void Walk(xmlNodePtr Node, bool Pre) {
        for (; Node; Node = Node->next) {
            if (Node->type == XML_TEXT_NODE || Node->type == XML_CDATA_SECTION_NODE) {
                if (Node->content) Text(reinterpret_cast<const char*>(Node->content), Pre);
                continue;
            }
            if (Node->type != XML_ELEMENT_NODE) continue;
            const std::string name = Lower(reinterpret_cast<const char*>(Node->name));
            if (name == "script" || name == "style" || name == "head" || name == "title") continue;
            if (name == "br") {
                FOut += '\n';
                continue;
            }
            const bool block = IsBlock(name);
            if (block) Break();
            if (name == "td" || name == "th") Space();
            if (name == "li") FOut += "- ";
            Walk(Node->children, Pre || name == "pre");
            if (block) Break();
            if (name == "p" || name == "blockquote" || name == "table" || name == "ul" ||
                name == "ol" || (name.size() == 2 && name[0] == 'h' && name[1] >= '1' &&
                                 name[1] <= '6'))
                FOut += '\n'; // an empty line after a paragraph
        }
    }

  private:
    static bool IsBlock(const std::string& Name) {
        static const char* const blocks[] = {
            "p",  "div", "tr", "li", "ul", "ol", "table", "blockquote", "pre", "hr", "dd", "dt",
            "dl", "h1",  "h2", "h3", "h4", "h5", "h6",    "address",    "section", "article",
            "header", "footer", "body", "html"};
        return std::any_of(std::begin(blocks), std::end(blocks),
                           [&](const char* b) { return Name == b; });
    }
    void Break() {
        if (!FOut.empty() && FOut.back() != '\n') FOut += '\n';
    }
    void Space() {
        if (!FOut.empty() && FOut.back() != '\n' && FOut.back() != ' ') FOut += ' ';
    }
    void Text(const char* T, bool Pre) {
        if (Pre) {
            FOut += T;
            return;
        }
        for (; *T; ++T) {
            const char c = *T;
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
                Space();
            } else if (c == '\xC2' && T[1] == '\xA0') {
                // &nbsp; reads as a plain space, so that searching the text finds the words.
                Space();
                ++T;
            } else {
                FOut += c;
            }
        }
    }

    std::string FOut;
};

std::string HtmlToText(const std::string& Html) {
    if (Html.empty() || Html.size() > static_cast<std::size_t>(INT_MAX)) return {};
    // The text is UTF-8 already: a meta tag naming another charset must not re-decode it, and
    // nothing is fetched from the network.
    htmlDocPtr doc = htmlReadMemory(Html.data(), static_cast<int>(Html.size()), nullptr, "UTF-8",
                                    HTML_PARSE_RECOVER | HTML_PARSE_NOERROR |
                                        HTML_PARSE_NOWARNING | HTML_PARSE_NONET |
                                        HTML_PARSE_IGNORE_ENC);
    if (!doc) return {};
    THtmlText text;
    text.Walk(xmlDocGetRootElement(doc), false);
    xmlFreeDoc(doc);
    return ValidUtf8(text.Take());
}

// ---- Walking the parts ------------------------------------------------------------------------

struct TWalk {
    GMimePart* Plain = nullptr;
    GMimePart* Html = nullptr;
    std::vector<GMimeObject*> Attachments; // borrowed from the message
    std::vector<TAttachmentInfo> Infos;
};

std::string Param(GMimeObject* Object, const char* Name) {
    const char* v = g_mime_object_get_content_disposition_parameter(Object, Name);
    if (!v) v = g_mime_object_get_content_type_parameter(Object, "name");
    return v ? ValidUtf8(v) : std::string();
}

std::string EmbeddedMessageBytes(GMimeMessagePart* Part) {
    GMimeMessage* inner = g_mime_message_part_get_message(Part);
    if (!inner) return {};
    TGString text(g_mime_object_to_string(GMIME_OBJECT(inner), nullptr));
    return text ? std::string(text.get()) : std::string();
}

void Visit(GMimeObject* Object, TWalk& W, bool WantBody) {
    if (!Object) return;
    if (GMIME_IS_MULTIPART(Object)) {
        GMimeMultipart* multi = GMIME_MULTIPART(Object);
        const int n = g_mime_multipart_get_count(multi);
        for (int i = 0; i < n; ++i)
            Visit(g_mime_multipart_get_part(multi, i), W, WantBody);
        return;
    }
    if (GMIME_IS_MESSAGE_PART(Object)) {
        // A forwarded message is one attachment, not a second body.
        TAttachmentInfo info{Param(Object, "filename"), MimeType(Object), 0};
        info.Size = EmbeddedMessageBytes(GMIME_MESSAGE_PART(Object)).size();
        W.Infos.push_back(std::move(info));
        W.Attachments.push_back(Object);
        return;
    }
    if (!GMIME_IS_PART(Object)) return;
    GMimePart* part = GMIME_PART(Object);
    const std::string type = MimeType(Object);
    const char* fileName = g_mime_part_get_filename(part);
    const bool inlineText = !g_mime_part_is_attachment(part) && !fileName &&
                            (type == "text/plain" || type == "text/html");
    if (inlineText && WantBody) {
        GMimePart*& slot = type == "text/plain" ? W.Plain : W.Html;
        if (!slot) {
            slot = part;
            return;
        }
    }
    if (inlineText && !WantBody) return;
    TAttachmentInfo info{fileName ? ValidUtf8(fileName) : std::string(), type, 0};
    if (WantBody) info.Size = PartBytes(part).size();
    W.Infos.push_back(std::move(info));
    W.Attachments.push_back(Object);
}

std::string AddressText(GMimeMessage* Message, GMimeAddressType Type, const char* Header) {
    InternetAddressList* list = g_mime_message_get_addresses(Message, Type);
    if (list && internet_address_list_length(list) > 0) {
        TGString text(internet_address_list_to_string(list, nullptr, FALSE));
        if (text && *text) return ValidUtf8(text.get());
    }
    // Not an address list GMime could read: the header's words, decoded as they stand.
    const char* raw = g_mime_object_get_header(GMIME_OBJECT(Message), Header);
    if (!raw) return {};
    TGString decoded(g_mime_utils_header_decode_text(Options(), raw));
    return decoded ? ValidUtf8(decoded.get()) : ValidUtf8(raw);
}

std::string Trimmed(std::string S) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!S.empty() && space(S.back()))
        S.pop_back();
    std::size_t i = 0;
    while (i < S.size() && space(S[i]))
        ++i;
    return S.substr(i);
}

} // namespace

bool CanDecodeMail() {
    return true;
}

TDecodedMessage DecodeMessage(std::string_view Stored) {
    TDecodedMessage d;
    auto message = Parse(Stored);
    if (!message) return d;
    GMimeMessage* m = message.get();
    d.From = AddressText(m, GMIME_ADDRESS_TYPE_FROM, "From");
    d.To = AddressText(m, GMIME_ADDRESS_TYPE_TO, "To");
    if (const char* subject = g_mime_message_get_subject(m)) d.Subject = ValidUtf8(subject);
    if (const char* date = g_mime_object_get_header(GMIME_OBJECT(m), "Date")) {
        TGString decoded(g_mime_utils_header_decode_text(Options(), date));
        d.DateText = Trimmed(ValidUtf8(decoded ? decoded.get() : date));
    }
    if (GDateTime* time = g_mime_message_get_date(m)) d.Time = g_date_time_to_unix(time);

    TWalk walk;
    Visit(g_mime_message_get_mime_part(m), walk, true);
    d.Attachments = std::move(walk.Infos);
    if (GMimePart* body = walk.Plain ? walk.Plain : walk.Html) {
        const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(body), "charset");
        std::string text = WithLf(ToUtf8(PartBytes(body), charset));
        d.Text = body == walk.Plain ? std::move(text) : HtmlToText(text);
    }
    return d;
}

std::string AttachmentBytes(std::string_view Stored, std::size_t Index) {
    auto message = Parse(Stored);
    if (!message) return {};
    TWalk walk;
    Visit(g_mime_message_get_mime_part(message.get()), walk, true);
    if (Index >= walk.Attachments.size()) return {};
    GMimeObject* object = walk.Attachments[Index];
    if (GMIME_IS_MESSAGE_PART(object)) return EmbeddedMessageBytes(GMIME_MESSAGE_PART(object));
    return PartBytes(GMIME_PART(object));
}

std::string IsoUtc(std::int64_t Time) {
    GDateTime* t = g_date_time_new_from_unix_utc(Time);
    if (!t) return {};
    TGString text(g_date_time_format(t, "%Y-%m-%dT%H:%M:%SZ"));
    g_date_time_unref(t);
    return text ? std::string(text.get()) : std::string();
}

namespace {

std::string Folded(std::string_view Text) {
    const std::string valid = ValidUtf8(Text);
    TGString folded(g_utf8_casefold(valid.data(), static_cast<gssize>(valid.size())));
    if (!folded) return {};
    TGString normal(g_utf8_normalize(folded.get(), -1, G_NORMALIZE_ALL));
    return normal ? std::string(normal.get()) : std::string(folded.get());
}

} // namespace

bool DecodedContains(const TDecodedMessage& Message, std::string_view Needle) {
    if (Needle.empty()) return true;
    const std::string needle = Folded(Needle);
    if (needle.empty()) return true;
    for (const std::string* field : {&Message.From, &Message.To, &Message.Subject, &Message.Text})
        if (Folded(*field).find(needle) != std::string::npos) return true;
    return false;
}
