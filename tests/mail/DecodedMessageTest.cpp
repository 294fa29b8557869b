// Reading recovered mail. Expected values are written by hand and were checked against Python's
// email package (python_answers.py prints its reading of every file in data/).

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "engine/CodePage1252.h"
#include "engine/MailDate.h"
#include "mail/DecodedMessage.h"

namespace {

std::string Corpus(const std::string& Name) {
    std::ifstream in(std::string(PW_MAIL_DATA) + "/" + Name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    EXPECT_FALSE(s.str().empty()) << Name;
    return s.str();
}

// The same message with every line ended by CR LF, as most stored mail is.
std::string Crlf(const std::string& Lf) {
    std::string out;
    for (char c : Lf) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

struct TExpected {
    const char* File;
    const char* From;
    const char* To;
    const char* Subject;
    const char* Date; // ISO 8601 UTC, or nullptr when the date does not parse
    const char* Text;
};

const TExpected ExpectedCorpus[] = {
    {"nested_utf8.eml", "Jürgen Müller <jm@example.de>",
     "Anna Schmidt <anna@example.de>, bob@example.org",
     // Encoded words split inside a character and folded over three lines.
     "Grüße aus Köln – März", "2026-12-07T09:00:00Z",
     "Grüße aus Köln,\ndie Rechnung für März liegt bei. Ein sehr langer Satz, der weich "
     "umbrochen wird."},
    {"latin9_qp.eml", "shop@example.fr", "Renée <renee@example.fr>", "Prix en €",
     "2021-06-02T06:30:00Z", "Le prix est de 10 €, déjà payé.\n"},
    // Raw 8-bit header text, no encoded words: read in the Windows code page.
    {"cp1252_8bit.eml", "Zoë <zoe@example.com>", "team@example.com", "“Quoted” – notes",
     "2020-02-03T08:15:00Z", "Costs €5 – “bargain”.\n"},
    {"koi8r.eml", "Привет <ivan@example.ru>", "olga@example.ru", "Привет, мир",
     "2015-03-13T09:00:00Z", "Привет, мир!\n"},
    {"iso2022jp.eml", "tanaka@example.jp", "suzuki@example.jp", "会議の件", "2009-08-05T00:00:00Z",
     "こんにちは、世界\n"},
    // Title, style and script are not text; the meta charset must not re-decode the UTF-8;
    // &nbsp; is a space; nothing is fetched for the image.
    {"html_only.eml", "news@example.com", "reader@example.com", "Weekly news", nullptr,
     "Café & more\n\nFirst line\nsecond line\n\n- one\n- two été"},
    // Cut inside a base64 attachment, without the closing boundary.
    {"truncated.eml", "cut@example.org", "you@example.org", "Gekürzt", "2022-01-02T00:00:00Z",
     "Grüße aus "},
};

TEST(DecodedMessage, CorpusReadsAsPythonsEmailPackageReadsIt) {
    for (const TExpected& e : ExpectedCorpus) {
        const std::string lf = Corpus(e.File);
        for (const std::string& stored : {lf, Crlf(lf)}) {
            SCOPED_TRACE(std::string(e.File) + (stored == lf ? " (LF)" : " (CR LF)"));
            const std::string before = stored;
            const TDecodedMessage d = DecodeMessage(stored);
            EXPECT_EQ(stored, before);
            EXPECT_EQ(d.From, e.From);
            EXPECT_EQ(d.To, e.To);
            EXPECT_EQ(d.Subject, e.Subject);
            if (e.Date) {
                ASSERT_TRUE(d.Time.has_value());
                EXPECT_EQ(IsoUtc(*d.Time), e.Date);
            } else {
                EXPECT_FALSE(d.Time.has_value());
            }
            EXPECT_EQ(d.Text, e.Text);
        }
    }
    EXPECT_EQ(DecodeMessage(Corpus("html_only.eml")).DateText, "not a date at all");
}

TEST(DecodedMessage, AttachmentsAreListedAndTheirBytesDecoded) {
    const std::string pdf = "%PDF-1.4 fake pdf bytes\n%PDF-1.4 fake pdf bytes\n"
                            "%PDF-1.4 fake pdf bytes\n";
    for (const std::string& stored : {Corpus("nested_utf8.eml"), Crlf(Corpus("nested_utf8.eml"))}) {
        const TDecodedMessage d = DecodeMessage(stored);
        ASSERT_EQ(d.Attachments.size(), 2u);
        // RFC 2231 names: one percent-encoded, one continued over two parameters.
        EXPECT_EQ(d.Attachments[0].FileName, "Rechnung März.pdf");
        EXPECT_EQ(d.Attachments[0].ContentType, "application/pdf");
        EXPECT_EQ(d.Attachments[0].Size, 72u);
        EXPECT_EQ(AttachmentBytes(stored, 0), pdf);
        EXPECT_EQ(d.Attachments[1].FileName, "日本.txt");
        EXPECT_EQ(d.Attachments[1].ContentType, "text/plain");
        EXPECT_EQ(d.Attachments[1].Size, 6u);
        EXPECT_EQ(AttachmentBytes(stored, 1), "a note");
        EXPECT_EQ(AttachmentBytes(stored, 2), "");
    }
    // Cut short: what is there decodes (36 of the 72 bytes), nothing more is made up.
    const std::string cut = Corpus("truncated.eml");
    const TDecodedMessage t = DecodeMessage(cut);
    ASSERT_EQ(t.Attachments.size(), 1u);
    EXPECT_EQ(t.Attachments[0].FileName, "data.bin");
    EXPECT_EQ(t.Attachments[0].Size, 36u);
    EXPECT_EQ(AttachmentBytes(cut, 0), pdf.substr(0, 36));
    EXPECT_TRUE(DecodeMessage(Corpus("koi8r.eml")).Attachments.empty());
}

TEST(DecodedMessage, HeaderFieldsReadAsPythonsEmailPackageReadsThem) {
    // Encoded words in many charsets (one spelled "koi8_r"), a lone encoded name with no
    // address, dates to the minute and in the obsolete forms, and dates that are none.
    std::istringstream table(Corpus("header_fields.tsv"));
    std::size_t rows = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1);
        ASSERT_NE(tab2, std::string::npos) << line;
        const std::string field = line.substr(0, tab1);
        const std::string stored = line.substr(tab1 + 1, tab2 - tab1 - 1);
        const std::string expected = line.substr(tab2 + 1);
        SCOPED_TRACE(line);
        ++rows;
        for (const char* end : {"\n", "\r\n"}) {
            const TDecodedMessage d =
                DecodeMessage(field + ": " + stored + end + "X-Other: 1" + end + end + "text");
            if (field == "From") {
                EXPECT_EQ(d.From, expected);
            } else if (field == "To") {
                EXPECT_EQ(d.To, expected);
            } else if (field == "Subject") {
                EXPECT_EQ(d.Subject, expected);
            }
            if (field == "Date") {
                EXPECT_EQ(d.Time ? IsoUtc(*d.Time) : "-", expected);
                EXPECT_EQ(d.DateText, stored);
                // The engine's own reading (it dates the mailbox's "From " lines) agrees.
                const std::optional<std::int64_t> engine = ReadMailDate(stored);
                EXPECT_EQ(engine ? IsoUtc(*engine) : "-", expected);
            }
        }
    }
    EXPECT_GE(rows, 20u);
}

TEST(DecodedMessage, ForwardedMessageIsOneAttachmentSavedWholeUnderItsSubject) {
    const std::string inner = "From: b@example.org\nSubject: Re: inner =?UTF-8?Q?M=C3=A4rz?=\n"
                              "Date: 01 Jan 2001 00:01 +0000\n\ninner text\n";
    for (const bool crlf : {false, true}) {
        const std::string lf =
            ("From: a@example.org\nSubject: Fwd\n"
             "Content-Type: multipart/mixed; boundary=x\n\n--x\n"
             "Content-Type: text/plain\n\nSee below.\n--x\n"
             "Content-Type: message/rfc822\n\n" +
             inner +
             "\n--x\nContent-Type: message/rfc822\nContent-Transfer-Encoding: base64\n"
             "Content-Disposition: attachment; filename=\"kept\"\n\n"
             "RnJvbTogYkBleGFtcGxlLm9yZwpTdWJqZWN0OiBJbm5lcgoKaW5uZXIgdGV4dAo=\n"
             "--x\nContent-Type: message/rfc822\n\n\nno header at all\n--x--\n");
        const std::string stored = crlf ? Crlf(lf) : lf;
        SCOPED_TRACE(crlf ? "CR LF" : "LF");
        const TDecodedMessage d = DecodeMessage(stored);
        EXPECT_EQ(d.Subject, "Fwd");
        EXPECT_EQ(d.Text, "See below.");
        ASSERT_EQ(d.Attachments.size(), 3u);
        // The embedded message's bytes exactly as stored (its line ends too), named by its
        // decoded subject.
        EXPECT_EQ(d.Attachments[0].ContentType, "message/rfc822");
        EXPECT_EQ(d.Attachments[0].FileName, "Re: inner März.eml");
        EXPECT_EQ(AttachmentBytes(stored, 0), crlf ? Crlf(inner) : inner);
        EXPECT_EQ(d.Attachments[0].Size, inner.size() + (crlf ? 5 : 0));
        // Sent base64-encoded with a name of its own: decoded, the name kept, ".eml" added.
        EXPECT_EQ(d.Attachments[1].FileName, "kept.eml");
        EXPECT_EQ(AttachmentBytes(stored, 1),
                  "From: b@example.org\nSubject: Inner\n\ninner text\n");
        EXPECT_EQ(d.Attachments[1].Size, 47u);
        // No subject: no name (the window offers "attachment3.eml"), the bytes still whole.
        EXPECT_EQ(d.Attachments[2].FileName, "");
        EXPECT_EQ(AttachmentBytes(stored, 2), crlf ? "\r\nno header at all" : "\nno header at all");
        EXPECT_EQ(d.Attachments[2].Size, AttachmentBytes(stored, 2).size());
    }
}

TEST(DecodedMessage, AnyBytesDecodeWithoutCrashing) {
    // Every prefix of a real-shaped message, cut anywhere (inside headers, encoded words,
    // boundaries and base64), and stray bytes: valid UTF-8 out, never a crash.
    const std::string full = Crlf(Corpus("nested_utf8.eml"));
    for (std::size_t n = 0; n <= full.size(); n += 7) {
        const TDecodedMessage d = DecodeMessage(std::string_view(full).substr(0, n));
        for (const std::string* s : {&d.From, &d.To, &d.Subject, &d.Text})
            EXPECT_EQ(ValidUtf8(*s), *s) << "prefix " << n;
    }
    const std::string junk("\0\xFF\xFE\r\n\r\n--\x80\x81 =?UTF-8?B?////?=", 28);
    const TDecodedMessage j = DecodeMessage("Subject: " + junk + "\r\n\r\n" + junk);
    EXPECT_EQ(ValidUtf8(j.Subject), j.Subject);
    EXPECT_EQ(ValidUtf8(j.Text), j.Text);
    // No MIME headers at all: the body is text as it stands.
    EXPECT_EQ(DecodeMessage("From: x@y\r\nSubject: plain\r\n\r\nhello\r\nworld\r\n").Text,
              "hello\nworld\n");
}

TEST(DecodedMessage, TextSearchIgnoresCaseInUnicode) {
    const TDecodedMessage d = DecodeMessage(Corpus("nested_utf8.eml"));
    EXPECT_TRUE(DecodedContains(d, "GRÜSSE AUS"));         // ß folds to ss
    EXPECT_TRUE(DecodedContains(d, "jürgen"));             // From
    EXPECT_TRUE(DecodedContains(d, "WEICH UMBROCHEN"));    // the soft line break is undone
    EXPECT_FALSE(DecodedContains(d, "Gr=C3=BC"));          // the raw form is not the text
    EXPECT_FALSE(DecodedContains(d, "Rechnung März.pdf")); // file names are not text
    const TDecodedMessage r = DecodeMessage(Corpus("koi8r.eml"));
    EXPECT_TRUE(DecodedContains(r, "ПРИВЕТ, МИР"));
    EXPECT_FALSE(DecodedContains(r, "Пока"));
    EXPECT_TRUE(DecodedContains(r, ""));
    // Composed and decomposed forms of é are the same text.
    EXPECT_TRUE(DecodedContains(DecodeMessage(Corpus("latin9_qp.eml")), "DE\xCC\x81J\xC3\x80"));
}

TEST(DecodedMessage, DecodingOnSeveralThreadsAgrees) {
    const std::string stored = Corpus("nested_utf8.eml");
    std::vector<std::string> subjects(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < subjects.size(); ++i)
        threads.emplace_back([&, i] {
            for (int k = 0; k < 50; ++k)
                subjects[i] = DecodeMessage(stored).Subject;
        });
    for (std::thread& t : threads)
        t.join();
    for (const std::string& s : subjects)
        EXPECT_EQ(s, "Grüße aus Köln – März");
}

} // namespace
