#include "mail/DecodedMessage.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include <gmime/gmime.h>
#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/CodePage1252.h"
#include "engine/HeaderNames.h"
#include "engine/MailDate.h"

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

std::string Lower(std::string S) {
    for (char& c : S)
        c = static_cast<char>(g_ascii_tolower(c));
    return S;
}

// GMime and libxml2 keep process-wide tables; both are set up once, before any message is read,
// and the parser options are only read after that, so decoding may run on several threads.
// Converters from the common charsets to UTF-8, opened once and closed at the program's end.
struct THeldConverters {
    THeldConverters() {
        for (const char* charset :
             {"ISO-8859-1",   "ISO-8859-2",   "ISO-8859-5",   "ISO-8859-7",   "ISO-8859-9",
              "ISO-8859-15",  "WINDOWS-1250", "WINDOWS-1251", "WINDOWS-1252", "WINDOWS-1253",
              "WINDOWS-1254", "WINDOWS-1257", "KOI8-R",       "KOI8-U",       "IBM850",
              "IBM866",       "ISO-2022-JP",  "SHIFT_JIS",    "EUC-JP",       "EUC-KR",
              "GB2312",       "GBK",          "GB18030",      "BIG5",         "TIS-620",
              "UTF-16",       "UTF-7"}) {
            const GIConv converter = g_iconv_open("UTF-8", charset);
            if (converter != reinterpret_cast<GIConv>(-1)) Held.push_back(converter);
        }
    }
    ~THeldConverters() {
        for (const GIConv converter : Held)
            g_iconv_close(converter);
    }
    THeldConverters(const THeldConverters&) = delete;
    THeldConverters& operator=(const THeldConverters&) = delete;
    std::vector<GIConv> Held;
};

GMimeParserOptions* Options() {
    static GMimeParserOptions* options = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
#if defined(__SANITIZE_ADDRESS__)
        // Set-up done once, kept for the program's life. Registering over one of GMime's own
        // types drops its earlier entry unfreed (16 bytes a type, once): the library's to free,
        // not a leak that grows, so the leak checker is told not to count what is made here.
        const __lsan::ScopedDisabler setUp;
#endif
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
        // An attached message is kept as the bytes it was stored as, to be saved whole as a
        // file of its own, rather than parsed into parts that would be written back reformatted.
        for (const char* subtype : {"rfc822", "rfc2822", "news", "global"})
            g_mime_object_register_type("message", subtype, GMIME_TYPE_PART);
        // The C library loads a charset's converter when it is first opened and unloads it when
        // the last user closes it: every message in such a charset loaded and unloaded it again,
        // and each unload stalls every other decoding thread. Held open here, the common ones
        // stay loaded for the program's life; they are closed at its end.
        static const THeldConverters held;
    });
    return options;
}

// Containers (multipart and message parts) the decoder follows in one message. Each costs the
// library a few KiB and a level of its recursion: a message of a few MiB could otherwise nest
// hundreds of thousands of them under one boundary and take hundreds of MiB to read.
constexpr std::size_t MaxContainers = 2000;

// Whether Line (a header line, or a line that may be one) declares a container type.
bool DeclaresContainer(std::string_view Line, std::string_view Next) {
    constexpr std::string_view field = "content-type:";
    if (Line.size() < field.size() ||
        g_ascii_strncasecmp(Line.data(), field.data(), field.size()) != 0)
        return false;
    // The value may be folded onto the next line.
    std::string value(Line.substr(field.size()));
    if (!Next.empty() && (Next[0] == ' ' || Next[0] == '\t')) value.append(Next);
    std::size_t i = 0;
    while (i < value.size() &&
           (value[i] == ' ' || value[i] == '\t' || value[i] == '\r' || value[i] == '\n'))
        ++i;
    const std::string type = Lower(value.substr(i, 14));
    return type.starts_with("multipart/") || type.starts_with("message/rfc822");
}

// The stored bytes up to the line that declares one container more than the decoder follows;
// all of them for any ordinary message.
std::string_view WithinContainerLimit(std::string_view Stored) {
    std::size_t containers = 0;
    for (std::size_t at = 0; at < Stored.size();) {
        std::size_t end = Stored.find('\n', at);
        end = end == std::string_view::npos ? Stored.size() : end + 1;
        std::size_t nextEnd = Stored.find('\n', end);
        nextEnd = nextEnd == std::string_view::npos ? Stored.size() : nextEnd + 1;
        if (DeclaresContainer(Stored.substr(at, end - at), Stored.substr(end, nextEnd - end)) &&
            ++containers > MaxContainers)
            return Stored.substr(0, at);
        at = end;
    }
    return Stored;
}

std::unique_ptr<GMimeMessage, TUnref> Parse(std::string_view Stored) {
    GMimeParserOptions* options = Options();
    Stored = WithinContainerLimit(Stored);
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
           g_ascii_strcasecmp(Charset, "us-ascii") == 0 ||
           g_ascii_strcasecmp(Charset, "ascii") == 0;
}

std::string ToUtf8(const std::string& Bytes, const char* Charset) {
    if (Charset && *Charset && !IsUtf8Name(Charset)) {
        // A declared charset that turns the bytes into nothing (UTF-32 on ASCII text) was
        // declared wrongly: the text falls back as for an unknown charset.
        if (std::optional<std::string> text = Convert(Bytes, Charset);
            text && (!text->empty() || Bytes.empty()) &&
            g_utf8_validate(text->data(), static_cast<gssize>(text->size()), nullptr))
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

    // The parser's events, in document order: an element opens, closes, or holds text. Its
    // own stack of open names grows with the nesting; ours holds a few bits per element, and
    // no tree is built, so nesting has no limit but the bytes.
    void Open(const char* RawName) {
        if (FSkip > 0) {
            ++FSkip;
            return;
        }
        const std::string name = Lower(RawName);
        if (name == "script" || name == "style" || name == "head" || name == "title") {
            FSkip = 1;
            return;
        }
        unsigned flags = 0;
        if (name == "br") {
            FOut += '\n';
        } else {
            if (IsBlock(name)) flags |= Block;
            if (name == "p" || name == "blockquote" || name == "table" || name == "ul" ||
                name == "ol" ||
                (name.size() == 2 && name[0] == 'h' && name[1] >= '1' && name[1] <= '6'))
                flags |= Paragraph;
            if (name == "pre") flags |= Pre;
            if (flags & Block) Break();
            if (name == "td" || name == "th") Space();
            if (name == "li") FOut += "- ";
            if (flags & Pre) ++FPre;
        }
        FOpen.push_back(static_cast<unsigned char>(flags));
    }

    void Close() {
        if (FSkip > 0) {
            --FSkip;
            return;
        }
        if (FOpen.empty()) return;
        const unsigned flags = FOpen.back();
        FOpen.pop_back();
        if (flags & Pre) --FPre;
        if (flags & Block) Break();
        if (flags & Paragraph) FOut += '\n'; // an empty line after a paragraph
    }

    void Characters(std::string_view T) {
        if (FSkip == 0) Text(T, FPre > 0);
    }

  private:
    static bool IsBlock(const std::string& Name) {
        static const char* const blocks[] = {
            "p",  "div",     "tr",      "li",      "ul",     "ol",     "table", "blockquote", "pre",
            "hr", "dd",      "dt",      "dl",      "h1",     "h2",     "h3",    "h4",         "h5",
            "h6", "address", "section", "article", "header", "footer", "body",  "html"};
        return std::any_of(std::begin(blocks), std::end(blocks),
                           [&](const char* b) { return Name == b; });
    }
    void Break() {
        if (!FOut.empty() && FOut.back() != '\n') FOut += '\n';
    }
    void Space() {
        if (!FOut.empty() && FOut.back() != '\n' && FOut.back() != ' ') FOut += ' ';
    }
    void Text(std::string_view T, bool Preformatted) {
        if (Preformatted) {
            FOut += T;
            return;
        }
        for (std::size_t i = 0; i < T.size(); ++i) {
            const char c = T[i];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
                Space();
            } else if (c == '\xC2' && i + 1 < T.size() && T[i + 1] == '\xA0') {
                // &nbsp; reads as a plain space, so that searching the text finds the words.
                Space();
                ++i;
            } else {
                FOut += c;
            }
        }
    }

    static constexpr unsigned Block = 1, Paragraph = 2, Pre = 4;
    std::string FOut;
    std::vector<unsigned char> FOpen; // the flags of each open element
    std::size_t FSkip = 0;            // inside script, style, head or title: their depth
    std::size_t FPre = 0;             // open pre elements
};

std::string HtmlToText(const std::string& Html) {
    if (Html.empty() || Html.size() > static_cast<std::size_t>(INT_MAX)) return {};
    THtmlText text;
    // Read as events rather than into a tree: the library's tree stops at a few hundred levels
    // (mail that nests 300 unclosed <font> tags would end there), the events do not.
    htmlSAXHandler sax{};
    sax.startElement = [](void* Text, const xmlChar* Name, const xmlChar**) {
        static_cast<THtmlText*>(Text)->Open(reinterpret_cast<const char*>(Name));
    };
    sax.endElement = [](void* Text, const xmlChar*) { static_cast<THtmlText*>(Text)->Close(); };
    sax.characters = [](void* Text, const xmlChar* Chars, int Length) {
        static_cast<THtmlText*>(Text)->Characters(
            {reinterpret_cast<const char*>(Chars), static_cast<std::size_t>(Length)});
    };
    sax.cdataBlock = sax.characters;
    // Blanks the parser finds of no meaning (between block elements) are dropped, as in a tree.
    sax.ignorableWhitespace = [](void*, const xmlChar*, int) {};
    htmlParserCtxtPtr ctxt = htmlCreateMemoryParserCtxt(Html.data(), static_cast<int>(Html.size()));
    if (!ctxt) return {};
    *ctxt->sax = sax;
    ctxt->userData = &text;
    // The text is UTF-8 already: a meta tag naming another charset must not re-decode it, and
    // nothing is fetched from the network.
    htmlCtxtUseOptions(ctxt, HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                                 HTML_PARSE_NONET | HTML_PARSE_IGNORE_ENC);
    if (xmlCharEncodingHandlerPtr utf8 = xmlFindCharEncodingHandler("UTF-8"))
        xmlSwitchToEncoding(ctxt, utf8);
    htmlParseDocument(ctxt);
    if (ctxt->myDoc) xmlFreeDoc(ctxt->myDoc);
    htmlFreeParserCtxt(ctxt);
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

bool IsEmbeddedMessage(const std::string& Type) {
    return Type == "message/rfc822" || Type == "message/rfc2822" || Type == "message/news" ||
           Type == "message/global";
}

bool EndsWithNoCase(std::string_view Text, std::string_view End) {
    return Text.size() >= End.size() &&
           g_ascii_strncasecmp(Text.data() + Text.size() - End.size(), End.data(), End.size()) == 0;
}

// The file name of an attached message: the name it was sent with, else its subject, ending
// ".eml" either way; empty when it has neither.
std::string EmbeddedMessageName(const char* Sent, const std::string& Bytes) {
    std::string name = Sent ? ValidUtf8(Sent) : std::string();
    if (name.empty()) {
        if (auto inner = Parse(HeaderPart(Bytes)))
            if (const char* subject = g_mime_message_get_subject(inner.get()))
                name = ValidUtf8(subject);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
            name.pop_back();
        // Long subjects are common; names past 255 bytes are not (a little room for ".eml").
        constexpr std::size_t Longest = 120;
        if (name.size() > Longest) {
            std::size_t cut = Longest;
            while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
                --cut;
            name.resize(cut);
        }
    }
    if (!name.empty() && !EndsWithNoCase(name, ".eml")) name += ".eml";
    return name;
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
                            !IsEmbeddedMessage(type) &&
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
    if (IsEmbeddedMessage(type)) {
        // A forwarded message is one attachment, not a second body.
        const std::string bytes = PartBytes(part);
        info.FileName = EmbeddedMessageName(fileName, bytes);
        info.Size = bytes.size();
    } else if (WantBody) {
        info.Size = PartBytes(part).size();
    }
    W.Infos.push_back(std::move(info));
    W.Attachments.push_back(Object);
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

// A header's value as stored (folded, encoded words and all); empty when there is none.
std::string RawHeader(GMimeMessage* Message, const char* Name) {
    GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(Message));
    GMimeHeader* header = list ? g_mime_header_list_get_header(list, Name) : nullptr;
    const char* raw = header ? g_mime_header_get_raw_value(header) : nullptr;
    return raw ? raw : "";
}

bool KnownCharset(const std::string& Name) {
    iconv_t cd = g_mime_iconv_open("UTF-8", Name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    g_mime_iconv_close(cd);
    return true;
}

// Encoded words whose charset the converter knows only by its usual spelling ("koi8_r" for
// "koi8-r", as some mailers write it) relabelled with that spelling; nothing else changes.
std::string WithKnownCharsets(std::string Raw) {
    for (std::size_t at = Raw.find("=?"); at != std::string::npos; at = Raw.find("=?", at + 2)) {
        const std::size_t end = Raw.find('?', at + 2);
        if (end == std::string::npos) break;
        std::string charset = Raw.substr(at + 2, end - at - 2);
        charset = charset.substr(0, charset.find('*')); // RFC 2231 language
        if (charset.find('_') == std::string::npos || KnownCharset(charset)) continue;
        std::string usual = charset;
        std::replace(usual.begin(), usual.end(), '_', '-');
        if (KnownCharset(usual)) Raw.replace(at + 2, charset.size(), usual);
    }
    return Raw;
}

std::string DecodedWords(const std::string& Text) {
    TGString unfolded(g_mime_utils_header_unfold(Text.c_str()));
    TGString decoded(g_mime_utils_header_decode_text(Options(), unfolded ? unfolded.get() : ""));
    return decoded ? std::string(decoded.get()) : Text;
}

std::string AddressText(GMimeMessage* Message, GMimeAddressType Type, const char* Header) {
    const std::string raw = RawHeader(Message, Header);
    if (raw.empty()) return {};
    const std::string relabelled = WithKnownCharsets(raw);
    InternetAddressList* list = g_mime_message_get_addresses(Message, Type);
    std::unique_ptr<InternetAddressList, TUnref> own;
    if (relabelled != raw) {
        own.reset(internet_address_list_parse(Options(), relabelled.c_str()));
        list = own.get();
    }
    std::string text;
    if (list && internet_address_list_length(list) > 0) {
        TGString formatted(internet_address_list_to_string(list, nullptr, FALSE));
        if (formatted) text = formatted.get();
    }
    // Not an address list GMime could read: the header's words, decoded as they stand.
    if (text.empty()) return ValidUtf8(Trimmed(DecodedWords(relabelled)));
    // A lone name with no address ("From: =?koi8-r?B?…?=") is read as an address, its encoded
    // words left as they are: they are decoded here, as for any name.
    if (text.find("=?") != std::string::npos) text = DecodedWords(text);
    return ValidUtf8(text);
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
    if (const std::string raw = RawHeader(m, "Subject"), relabelled = WithKnownCharsets(raw);
        relabelled != raw)
        d.Subject = ValidUtf8(Trimmed(DecodedWords(relabelled)));
    else if (const char* subject = g_mime_message_get_subject(m))
        d.Subject = ValidUtf8(subject);
    if (const char* date = g_mime_object_get_header(GMIME_OBJECT(m), "Date")) {
        TGString decoded(g_mime_utils_header_decode_text(Options(), date));
        d.DateText = Trimmed(ValidUtf8(decoded ? decoded.get() : date));
    }
    // The engine's reading first, so that list, sort and mailbox agree (and a time written to
    // the minute keeps its minute); GMime's for the forms it does not take.
    d.Time = ReadMailDate(d.DateText);
    if (!d.Time)
        if (GDateTime* time = g_mime_message_get_date(m)) d.Time = g_date_time_to_unix(time);

    TWalk walk;
    Visit(g_mime_message_get_mime_part(m), walk, true);
    d.Attachments = std::move(walk.Infos);
    if (GMimePart* body = walk.Plain ? walk.Plain : walk.Html) {
        const char* charset =
            g_mime_object_get_content_type_parameter(GMIME_OBJECT(body), "charset");
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

std::string FoldedPiece(std::string_view Piece) {
    TGString folded(g_utf8_casefold(Piece.data(), static_cast<gssize>(Piece.size())));
    if (!folded) return {};
    TGString normal(g_utf8_normalize(folded.get(), -1, G_NORMALIZE_ALL));
    return normal ? std::string(normal.get()) : std::string(folded.get());
}

// GLib's folding stops at a NUL: the text is folded piece by piece between them, so that the
// words after a NUL are still searched.
std::string Folded(std::string_view Text) {
    const std::string valid = ValidUtf8(Text);
    std::string out;
    for (std::size_t start = 0;;) {
        const std::size_t nul = valid.find('\0', start);
        const std::size_t end = nul == std::string::npos ? valid.size() : nul;
        out += FoldedPiece(std::string_view(valid).substr(start, end - start));
        if (nul == std::string::npos) return out;
        out += '\0';
        start = nul + 1;
    }
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
