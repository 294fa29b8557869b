// The scanner's reading of what it recovered: decoded JSON fields, copies, the decoded-text
// filter, the mboxrd mailbox (read back by Python's mailbox module) and the DFXML report (checked
// by Python's XML parser and hashlib against the image itself).

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/CliMail.h"
#include "engine/Copies.h"
#include "engine/MboxExport.h"
#include "tests/engine/scan/ScanTestSupport.h"
#include "tests/support/CliRunner.h"

namespace fs = std::filesystem;

namespace {

std::string Crlf(const std::string& Lf) {
    std::string out;
    for (char c : Lf) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string Corpus(const std::string& Name) {
    return Crlf(ReadAll(fs::path(PW_SOURCE_DIR) / "tests/mail/data" / Name));
}

// Runs a Python program with arguments; its standard output.
std::string Python(const TTempDir& Dir, const std::string& Program, const std::string& Args) {
    const std::string script = Dir.File("check.py");
    std::ofstream(script) << Program;
    std::string out;
    const std::string cmd = "python3 " + Quote(script) + " " + Args + " 2>&1";
    std::FILE* p = popen(cmd.c_str(), "r");
    if (!p) return "cannot run python3";
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

class MailCliTest : public ::testing::Test {
  protected:
    // The tests of a build that decodes mail, or (MailCliStubTest) of the mail module's stub.
    bool ForStub = false;
    TTempDir Dir;
    std::string Image;
    std::vector<std::uint64_t> Offsets{1024, 10240, 20480, 30720, 40960};
    std::vector<std::string> Stored;

    void SetUp() override {
        if (CanDecodeMail() == ForStub)
            GTEST_SKIP() << (ForStub ? "this build decodes mail" : "built with the mail stub");
        Image = Dir.File("disk.img");
        TImage img(Image, 200 * 512);
        Stored = {Corpus("nested_utf8.eml"), Corpus("latin9_qp.eml"),
                  MakeMessage("Ann <ann@x.org>", "b@x.org", "quoting",
                              "From the top\n>From once quoted\nFromage is not quoted"),
                  Corpus("nested_utf8.eml"), Corpus("html_only.eml")};
        for (std::size_t i = 0; i < Stored.size(); ++i)
            img.Put(Offsets[i], Stored[i]);
    }
};

class MailCliStubTest : public MailCliTest {
  protected:
    MailCliStubTest() { ForStub = true; }
};

TEST_F(MailCliStubTest, JsonSaysNullAndTextAndReportAreRefusedBeforeTheScan) {
    TRun r = RunCli("scan " + Quote(Image) + " --json-lines --fields item,decoded,sha256,copy_of");
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "{\"item\": 0, \"decoded\": null, \"sha256\": null, \"copy_of\": null}\n"
                     "{\"item\": 1, \"decoded\": null, \"sha256\": null, \"copy_of\": null}\n"
                     "{\"item\": 2, \"decoded\": null, \"sha256\": null, \"copy_of\": null}\n"
                     "{\"item\": 3, \"decoded\": null, \"sha256\": null, \"copy_of\": 0}\n"
                     "{\"item\": 4, \"decoded\": null, \"sha256\": null, \"copy_of\": null}\n");
    const TRun text = RunCli("scan " + Quote(Image) + " --text Köln");
    EXPECT_EQ(text.Status, 2);
    EXPECT_EQ(text.Err,
              "parcelwright-cli: --text: this build does not decode mail; use --keyword\n");
    const std::string report = Dir.File("report.xml");
    const TRun dfxml = RunCli("scan " + Quote(Image) + " --dfxml " + Quote(report));
    EXPECT_EQ(dfxml.Status, 2);
    EXPECT_EQ(dfxml.Err, "parcelwright-cli: --dfxml: this build does not write reports\n");
    EXPECT_FALSE(fs::exists(report));
    EXPECT_EQ(Sha256Hex("abc"), "");
}

TEST_F(MailCliTest, JsonGainsDecodedFieldsHashesAndCopies) {
    const std::string json = Dir.File("out.json");
    TRun r = RunCli("scan " + Quote(Image) + " --json >" + Quote(json));
    ASSERT_EQ(r.Status, 0) << r.Err;
    // Python reads the JSON; hashes are its hashlib's over the stored bytes (the code points of
    // "fulltext"), the decoded fields are compared with what was written by hand.
    const std::string out = Python(Dir, R"(import json, sys, hashlib
rows = json.load(open(sys.argv[1], encoding='utf-8'))
for o in rows:
    raw = o['fulltext'].encode('latin-1')
    assert o['sha256'] == hashlib.sha256(raw).hexdigest(), o['item']
    assert set(o) >= {'item', 'offset', 'rule', 'date', 'from', 'to', 'subject', 'body', 'fulltext'}
    d = o['decoded']
    print(o['item'], o['offset'], o['copy_of'], d['date'], '|', d['from'], '|', d['subject'], '|',
          [(a['filename'], a['content_type'], a['size']) for a in d['attachments']])
print(repr(rows[4]['decoded']['text']))
)",
                                     Quote(json));
    EXPECT_EQ(out,
              "0 1024 None 2026-12-07T09:00:00Z | Jürgen Müller <jm@example.de> | Grüße aus Köln "
              "– März | [('Rechnung März.pdf', 'application/pdf', 72), ('日本.txt', "
              "'text/plain', 6)]\n"
              "1 10240 None 2021-06-02T06:30:00Z | shop@example.fr | Prix en € | []\n"
              "2 20480 None 2026-12-07T10:00:00Z | Ann <ann@x.org> | quoting | []\n"
              "3 30720 0 2026-12-07T09:00:00Z | Jürgen Müller <jm@example.de> | Grüße aus Köln "
              "– März | [('Rechnung März.pdf', 'application/pdf', 72), ('日本.txt', "
              "'text/plain', 6)]\n"
              "4 40960 None None | news@example.com | Weekly news | []\n"
              "'Café & more\\n\\nFirst line\\nsecond line\\n\\n- one\\n- two été'\n");
}

TEST_F(MailCliTest, UniqueAndTextChooseRowsBesideTheByteKeyword) {
    auto items = [&](const std::string& Args) {
        TRun r = RunCli("scan " + Quote(Image) + " " + Args);
        EXPECT_EQ(r.Status, 0) << Args << ": " << r.Err;
        std::vector<std::string> found;
        std::istringstream lines(r.Out);
        std::string line;
        std::getline(lines, line); // captions
        while (std::getline(lines, line))
            found.push_back(line.substr(line.find_first_not_of(' '),
                                        line.find("  ", line.find_first_not_of(' ')) -
                                            line.find_first_not_of(' ')));
        return found;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(items("--unique"), (V{"0", "1", "2", "4"}));
    // Decoded text in any case: ß matches SS, the HTML entity é is found, the QP form is not.
    EXPECT_EQ(items("--text 'GRÜSSE AUS KÖLN'"), (V{"0", "3"}));
    EXPECT_EQ(items("--text 'TWO ÉTÉ'"), (V{"4"}));
    EXPECT_EQ(items("--text 'Gr=C3=BC'"), V{});
    EXPECT_EQ(items("--keyword 'Gr=C3=BC'"), (V{"0", "3"}));
    EXPECT_EQ(items("--text 'déjà payé' --unique --sort item --descending"), (V{"1"}));
    EXPECT_EQ(items("--text müller --unique"), (V{"0"}));
    TRun bad = RunCli("scan " + Quote(Image) + " --text ''");
    EXPECT_EQ(bad.Status, 2);
}

TEST_F(MailCliTest, MboxReadsBackAsTheStoredMessages) {
    const std::string json = Dir.File("out.json");
    const std::string mbox = Dir.File("found.mbox");
    TRun r = RunCli("scan " + Quote(Image) + " --sort subject --json --force --mbox " +
                    Quote(mbox) + " >" + Quote(json));
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(FileNames(Dir.Path), (std::vector<std::string>{"disk.img", "found.mbox", "out.json"}));
    const std::string text = ReadAll(mbox);
    EXPECT_NE(text.find("\n>From the top\r\n>>From once quoted\r\nFromage"), std::string::npos);
    // Python's reader does not undo mboxrd quoting: the check does, then compares every byte.
    const std::string out = Python(Dir, R"(import json, mailbox, re, sys
rows = json.load(open(sys.argv[1], encoding='utf-8'))
box = mailbox.mbox(sys.argv[2], create=False)
keys = box.keys()
assert len(keys) == len(rows), (len(keys), len(rows))
for key, o in zip(keys, rows):
    got = re.sub(rb'(?m)^>(>*From )', rb'\1', box.get_bytes(key))
    want = o['fulltext'].encode('latin-1')
    assert got == want, (o['item'], got[-60:], want[-60:])
    print(o['item'], box.get_message(key).get_from().split()[0])
)",
                                     Quote(json) + " " + Quote(mbox));
    // Sorted by the subject as stored: "=?ISO-8859-15?..." (1), "=?UTF-8?..." (0, 3),
    // "quoting", "Weekly".
    EXPECT_EQ(out, "1 shop@example.fr\n0 jm@example.de\n3 jm@example.de\n2 ann@x.org\n"
                   "4 news@example.com\n");
}

TEST_F(MailCliTest, MboxAndReportFailuresAreErrors) {
    TRun r = RunCli("scan " + Quote(Image) + " --mbox " + Quote(Dir.File("no/such/x.mbox")));
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("x.mbox"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Out, ""); // refused before the scan
    // A folder where the file should go: refused before the scan, the folder kept.
    fs::create_directory(Dir.File("taken"));
    r = RunCli("scan " + Quote(Image) + " --force --mbox " + Quote(Dir.File("taken")));
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("is a folder"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Out, "");
    EXPECT_TRUE(fs::is_directory(Dir.File("taken")));
    r = RunCli("scan " + Quote(Image) + " --force --dfxml " + Quote(Dir.File("taken")));
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("is a folder"), std::string::npos) << r.Err;
    for (const std::string& name : FileNames(Dir.Path))
        EXPECT_EQ(name.find(".part"), std::string::npos) << name;
}

TEST_F(MailCliTest, DfxmlTiesEveryRowToItsBytesOnTheImage) {
    ASSERT_TRUE(CanDecodeMail());
    const std::string report = Dir.File("report.xml");
    TRun r = RunCli("scan " + Quote(Image) +
                    " --unique --sort item --descending --force --dfxml " + Quote(report));
    ASSERT_EQ(r.Status, 0) << r.Err;
    // Offsets, lengths and both digests are checked against the image's own bytes.
    const std::string out = Python(Dir, R"(import hashlib, sys, xml.etree.ElementTree as ET
ns = {'d': 'http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML'}
root = ET.parse(sys.argv[1]).getroot()
image = open(sys.argv[2], 'rb').read()
assert root.tag == '{%s}dfxml' % ns['d']
print(root.find('d:creator/d:program', ns).text, root.find('d:source/d:imagesize', ns).text,
      root.find('d:source/d:image_filename', ns).text == sys.argv[2])
for fo in root.findall('d:fileobject', ns):
    runs = fo.findall('d:byte_runs/d:byte_run', ns)
    assert len(runs) == 1
    off, n = int(runs[0].get('img_offset')), int(runs[0].get('len'))
    data = image[off:off + n]
    digests = {h.get('type'): h.text for h in fo.findall('d:hashdigest', ns)}
    assert digests == {'md5': hashlib.md5(data).hexdigest(),
                       'sha256': hashlib.sha256(data).hexdigest()}, fo.find('d:filename', ns).text
    assert int(fo.find('d:filesize', ns).text) == n
    print(fo.find('d:filename', ns).text, off, n)
)",
                                     Quote(report) + " " + Quote(Image));
    auto line = [&](std::size_t Row, std::size_t Index) {
        return "RecoveredEmail" + std::to_string(Row) + ".eml " + std::to_string(Offsets[Index]) +
               " " + std::to_string(Stored[Index].size()) + "\n";
    };
    EXPECT_EQ(out, "parcelwright-cli 102400 True\n" + line(0, 4) + line(1, 2) + line(2, 1) +
                       line(3, 0));
}

TEST(MailCliParts, MboxQuotingSenderAndDate) {
    TEmailArray emails(3);
    emails[0].From = "\"Doe, Jane\" <jane@example.org>";
    emails[0].FullText = "From: x\nSubject: s\n\nFrom me\n>From you\n>>>From them\n From not\nend";
    emails[1].From = "bob@example.org (Bob)";
    emails[1].FullText = "Subject: t\r\n\r\nbody\r\n";
    emails[2].From = "no address here";
    emails[2].FullText = "Subject: u\n\nFrom";
    const auto when = std::chrono::sys_days{std::chrono::year{2024} / 2 / 29} +
                      std::chrono::hours{7} + std::chrono::minutes{5} + std::chrono::seconds{9};
    EXPECT_EQ(MboxDate(when), "Thu Feb 29 07:05:09 2024");
    EXPECT_EQ(MboxText(emails, {0, 1, 2, 7}, when),
              "From jane@example.org Thu Feb 29 07:05:09 2024\n"
              "From: x\nSubject: s\n\n>From me\n>>From you\n>>>>From them\n From not\nend\n\n"
              "From bob@example.org Thu Feb 29 07:05:09 2024\n"
              "Subject: t\r\n\r\nbody\r\n\n"
              "From MAILER-DAEMON Thu Feb 29 07:05:09 2024\n"
              "Subject: u\n\nFrom\n\n");
    // Control bytes or spaces never reach the From line.
    EXPECT_EQ(MboxSender("a\x01@b, @c, d@"), "MAILER-DAEMON");
    EXPECT_EQ(MboxSender("<a b@c> x"), "b@c");
}

TEST(MailCliParts, CopiesAreEqualStoredBytes) {
    TEmailArray emails(5);
    emails[0].FullText = "a";
    emails[1].FullText = "b";
    emails[2].FullText = "a";
    emails[3].FullText = std::string("a\0", 2); // differs only after a NUL
    emails[4].FullText = "b";
    emails[4].Subject = "fields parsed differently do not matter";
    const auto copies = FindCopies(emails);
    EXPECT_EQ(copies, (std::vector<std::optional<std::size_t>>{std::nullopt, std::nullopt, 0,
                                                                std::nullopt, 1}));
    EXPECT_EQ(WithoutCopies({4, 3, 2, 1, 0}, copies), (std::vector<std::size_t>{3, 1, 0}));
}

TEST(MailCliParts, JsonTextIsValidEscapedUtf8) {
    EXPECT_EQ(JsonText("Grüße \"q\" \\ \n\t\x01"), "\"Grüße \\\"q\\\" \\\\ \\n\\t\\u0001\"");
    EXPECT_EQ(JsonText("bad \xFF end"), "\"bad \xEF\xBF\xBD end\"");
    if (!CanDecodeMail()) return; // the stub hashes nothing (MailCliStubTest)
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

} // namespace
