// The deep rule on mail as Unix stores keep it: LF line ends, mbox separators, messages inside
// messages, short header blocks; and on what only looks like mail. The image tests print a table
// of what came back.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/DeepRule.h"
#include "engine/LineShape.h"
#include "engine/ScanHardDisk.h"
#include "tests/engine/deep/DeepCorpus.h"
#include "tests/engine/deep/UnixMail.h"

namespace fs = std::filesystem;

namespace {

const TDeepRule Deep;

std::string Lf(std::initializer_list<std::string_view> Items, const char* End = "\n") {
    std::string Text;
    for (std::string_view Line : Items) {
        Text.append(Line);
        Text.append(End);
    }
    return Text;
}

std::string View(std::string Text) {
    Text.resize(TDeepRule::HeaderReach + 512, '\0');
    return Text;
}

struct TCut {
    std::vector<std::string> Texts;
    std::vector<std::size_t> Starts;
    TEmailArray Found;
};

TCut Cut(std::string_view Text) {
    TCut Cut;
    Deep.ExtractMessages(Text, Cut.Found, &Cut.Starts);
    for (const TEmail& Email : Cut.Found)
        Cut.Texts.push_back(Email.FullText);
    return Cut;
}

std::string ToCrLf(const std::string& Text) {
    std::string Out;
    for (const char c : Text) {
        if (c == '\n') Out += '\r';
        Out += c;
    }
    return Out;
}

} // namespace

TEST(UnixMailCutting, LfMessagesOfEveryKindStartAndComeOutByteForByte) {
    for (int Kind = 0; Kind < UnixKinds; ++Kind) {
        const std::string Message = MakeUnixMessage(40 + Kind, Kind);
        ASSERT_EQ(Message.find('\r'), std::string::npos) << UnixKindName(Kind);
        EXPECT_TRUE(Deep.IsMessageStart(View(Message), 512)) << UnixKindName(Kind);
        const TCut Alone = Cut(Message);
        EXPECT_EQ(Alone.Texts, std::vector<std::string>{Message}) << UnixKindName(Kind);
    }
    // Fields come without the line end, as for CR LF messages.
    const TCut One = Cut(Lf({"From: A <a@x.org>", "To: b@x.org", "Subject: hi", "", "text"}));
    ASSERT_EQ(One.Found.size(), 1u);
    EXPECT_EQ(One.Found[0].From, " A <a@x.org>");
    EXPECT_EQ(One.Found[0].Subject, " hi");
    EXPECT_EQ(One.Found[0].Body, "\ntext\n");
}

TEST(UnixMailCutting, BackToBackMessagesSplitWhereTheirEndsDiffer) {
    // Whole blocks one after the other, LF ones then CR LF ones: each message keeps its own line
    // ends, and those carrying other messages are not split inside. (Inside a CR LF message a
    // lone LF is text; only an mbox separator leads back to LF lines.)
    std::string Text;
    std::vector<std::string> Planted;
    std::vector<std::size_t> Offsets;
    for (const int Kind : std::vector<int>{0, ForwardAttached, MimeDigest, 1, Bounce, Encapsulated,
                                           2, FromLines, 4, 5, ForwardAttached}) {
        std::string Message = MakeUnixMessage(90 + Kind, Kind);
        if (Offsets.size() >= 8) Message = ToCrLf(Message);
        Offsets.push_back(Text.size());
        Planted.push_back(Message);
        Text += Message;
    }
    const TCut All = Cut(Text);
    EXPECT_EQ(All.Texts, Planted);
    EXPECT_EQ(All.Starts, Offsets);
}

TEST(UnixMailCutting, EnclosuresHoldTheirHeaderBlocksUntilTheyClose) {
    const std::string Head =
        Lf({"Message-ID: <1@x.org>", "Date: Tue, 3 Mar 2020 10:00:00 +0000", "From: a@x.org",
            "To: b@x.org", "Subject: fwd", "MIME-Version: 1.0", "Content-Type: multipart/mixed;",
            " boundary=\"outer b\""});
    const std::string Embedded = Lf({"From: c@x.org", "To: d@x.org", "Subject: inner",
                                     "Date: Mon, 2 Mar 2020 09:00:00 +0000", "", "inner text"});
    const std::string Open = Head + "\n--outer b\nContent-Type: message/rfc822\n\n" + Embedded;
    const std::string Next = Lf({"From: e@x.org", "To: f@x.org", "Subject: next", "", "text"});
    // The boundary on the field's first line, a folded line after it: the multipart opens all
    // the same.
    const std::string FoldedAfter = Open.substr(0, Open.find("multipart/mixed;") + 16) +
                                    " boundary=\"outer b\";\n charset=x" +
                                    Open.substr(Open.find("\"outer b\"") + 9);
    EXPECT_EQ(Cut(FoldedAfter + "\n" + Next).Texts.size(), 1u);
    // Closed, blanks after the delimiter or none: the next whole block starts a message again.
    for (const char* Blanks : {"", "  ", "\t", " \t"}) {
        const std::string Closed = Open + "--outer b--" + Blanks + "\n\n";
        EXPECT_EQ(Cut(Closed + Next).Texts, (std::vector<std::string>{Closed, Next})) << Blanks;
    }
    // Never closed: the message runs to the end of the text, even past a whole block.
    EXPECT_EQ(Cut(Open + "\n" + Next).Texts, std::vector<std::string>{Open + "\n" + Next});
    // A delimiter line that does not close ("--outer b" alone) or closes another boundary keeps
    // it open.
    const std::string Delimited = Open + "--outer b\n\n--other--\n\n";
    EXPECT_EQ(Cut(Delimited + Next).Texts.size(), 1u);
    // A message whose whole body is a message: the one block after its header is that message's.
    const std::string Wrapper = Lf({"From: a@x.org", "To: b@x.org", "Subject: wrapped",
                                    "Content-Type: Message/RFC822", ""}) +
                                Embedded + "\n";
    EXPECT_EQ(Cut(Wrapper + Next).Texts, (std::vector<std::string>{Wrapper, Next}));
    // A run cut off inside an open multipart ends the message where the run ends.
    const std::string Cutoff = Open.substr(0, Open.size() - 4);
    EXPECT_EQ(Cut(Cutoff).Texts,
              std::vector<std::string>{Cutoff.substr(0, Cutoff.rfind('\n') + 1)});
}

TEST(UnixMailCutting, MboxSeparatorsBelongToNoMessage) {
    std::vector<std::string> Messages;
    for (int Kind = 0; Kind < UnixKinds; ++Kind)
        Messages.push_back(MakeUnixMessage(200 + Kind, Kind));
    // CR LF messages in an LF mbox, as some importers write them.
    Messages[2] = ToCrLf(Messages[2]);
    Messages[ForwardAttached] = ToCrLf(Messages[ForwardAttached]);
    const std::string Mbox = MboxFile(Messages, 7);
    std::vector<std::size_t> Offsets;
    for (const std::string& Message : Messages)
        Offsets.push_back(Mbox.find(Message));
    EXPECT_TRUE(Deep.IsMessageStart(View(Mbox), 512));
    EXPECT_EQ(Deep.HeaderBlockLength(View(Mbox), 512),
              Mbox.find("\n\n") + 2); // the separator and the first header block
    const TCut All = Cut(Mbox);
    EXPECT_EQ(All.Texts, Messages);
    EXPECT_EQ(All.Starts, Offsets);
    ASSERT_EQ(All.Texts.size(), Messages.size());
    // ">From " quoting stays as stored.
    EXPECT_NE(All.Texts[FromLines].find("\n>From "), std::string::npos);

    // A "From " line that is no separator (no date, or no header line after it) is body text.
    const std::string Body =
        MboxSeparator(3) + Lf({"From: a@x.org", "To: b@x.org", "Subject: s", "", "text", "",
                               "From Alice Mon Mar  2 10:00:00 2020 sent this", "",
                               "From bob@x.org Mon Mar  2 10:00:00 2020", "no header here", ""});
    // The mbox's empty line after its last message is dropped as well.
    const std::size_t First = Body.find('\n') + 1;
    EXPECT_EQ(Cut(Body).Texts,
              std::vector<std::string>{Body.substr(First, Body.size() - First - 1)});
    // Separators with a time zone, or without seconds, and padded days all count.
    for (const char* Line :
         {"From a@x.org Tue Mar  3 10:00 2020", "From a Tue Mar 3 10:00:00 +0100 2020",
          "From MAILER-DAEMON Fri Jul  8 12:08:34 2011 remote from x"}) {
        const std::string Two = Lf({"From: a@x.org", "To: b@x.org", "Subject: 1", "", "one"}) +
                                "\n" + Line + "\n" + Lf({"From: c@x.org", "Subject: 2", "", "two"});
        EXPECT_EQ(Cut(Two).Texts.size(), 2u) << Line;
    }
    EXPECT_FALSE(Deep.IsMessageStart(View("From a@x.org Tue Mar 3 10:00:00 20\nFrom: a@x.org\nTo: "
                                          "b\nSubject: c\n\n"),
                                     512));
}

TEST(UnixMailStart, SeparatorLinesNameADayAMonthAClockAndAYear) {
    const std::vector<std::string> Days = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    const std::vector<std::string> Months = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const auto Line = [](const std::string& Day, const std::string& Month) {
        return "From a@x.org " + Day + " " + Month + "  3 10:00:00 2020\n";
    };
    for (const std::string& Day : Days)
        for (const std::string& Month : Months)
            EXPECT_TRUE(IsSeparatorLine(Line(Day, Month))) << Day << " " << Month;
    // Names are matched whole and as written; each other part has its shape.
    for (const auto& [Day, Month] :
         std::vector<std::pair<std::string, std::string>>{{"mon", "Jan"},
                                                          {"Mun", "Jan"},
                                                          {"Mo", "Jan"},
                                                          {"Mond", "Jan"},
                                                          {"Mon", "Jam"},
                                                          {"Mon", "JAN"},
                                                          {"Mon", "Ja"},
                                                          {"Mon", "Janu"},
                                                          {"Jan", "Mon"},
                                                          {"Mon\x80", "Jan"}})
        EXPECT_FALSE(IsSeparatorLine(Line(Day, Month))) << Day << " " << Month;
    for (const char* Other :
         {"From a@x.org Mon Jan 123 10:00:00 2020\n", "From a@x.org Mon Jan 3 1:00:00 2020\n",
          "From a@x.org Mon Jan 3 10:00:00 20\n", "From a@x.org Mon Jan 3 10:00:00\n",
          "From Mon Jan 3 10:00:00 2020\n", "From: a@x.org Mon Jan 3 10:00:00 2020\n"})
        EXPECT_FALSE(IsSeparatorLine(Other)) << Other;
    EXPECT_TRUE(IsSeparatorLine("From a@x.org Mon Jan 3 10:00 +0100 2020\r\n"));
}

TEST(UnixMailStart, ShortHeaderBlocksOnlyWhenEveryLineIsAField) {
    // Accepted: From, Date or Message-ID (with an address, a figure, an @) and one more field.
    for (const std::string& Block :
         {Lf({"From: Alice <alice@example.org>", "Subject: hi", "MIME-Version: 1.0"}),
          Lf({"Message-ID: <x1@example.org>", "Content-Type: text/plain;", "\tcharset=utf-8"}),
          Lf({"X-Mozilla-Status: 0001", "From: b@example.org", "X-Identity-Key: id1"}),
          Lf({"Date: Tue, 3 Mar 2020 10:00:00 +0000", "Subject: s", "", "body"}, "\r\n")})
        EXPECT_TRUE(Deep.IsMessageStart(View(Block + "\nbody\n"), 512)) << Block;
    // Refused: one field alone, no anchor or one without its mark, a line that is no field, the
    // block not closed.
    for (const std::string& Block :
         {Lf({"From: Alice <alice@example.org>"}), Lf({"Subject: hi", "MIME-Version: 1.0"}),
          Lf({"From: Alice", "Subject: hi"}), Lf({"Date: tomorrow", "Subject: hi"}),
          Lf({"Message-ID: 12", "Subject: hi"}),
          Lf({"From: a@example.org", "Subject: hi", "not a field"}),
          Lf({"From: a@example.org", "Subject: hi"}).substr(0, 30)})
        EXPECT_FALSE(Deep.IsMessageStart(View(Block + "\nbody\n"), 512)) << Block;
    // Inside a message's body a short block is text (a digest's entries); three known names
    // still start the next message.
    const std::string Head = Lf({"From: a@x.org", "To: b@x.org", "Subject: s", "", "text", ""});
    const std::string Entry = Lf({"Message: 2", "Date: Tue, 3 Mar 2020", "From: c@x.org", "", "e"});
    EXPECT_EQ(Cut(Head + Entry).Texts.size(), 1u);
    EXPECT_EQ(Cut(Entry + Head).Texts, (std::vector<std::string>{Entry, Head}));
}

TEST(UnixMailStart, LookAlikesNeverStartAMessage) {
    const std::vector<std::string> Blocks = {
        // Web traffic's fields, even with Date and From.
        Lf({"Host: www.example.com", "From: bot@example.com", "Date: Tue, 3 Mar 2020 10:00:00 GMT",
            "User-Agent: curl/8.0"}),
        Lf({"Date: Tue, 3 Mar 2020 10:00:00 GMT", "Server: nginx", "Content-Type: text/html",
            "Content-Length: 12"},
           "\r\n"),
        // A form upload's part.
        Lf({"Content-Disposition: form-data; name=\"from\"", "Date: Tue, 3 Mar 2020 10:00:00",
            "From: a@x.org"}),
        // Config keys in lower case, three known names among them.
        Lf({"from: alerts@example.com", "to: ops@example.com", "subject: nightly", "date: 2020"}),
    };
    for (const std::string& Block : Blocks) {
        EXPECT_FALSE(Deep.IsMessageStart(View(Block + "\nbody\n"), 512)) << Block;
        EXPECT_TRUE(Cut(Block + "\nbody\n").Texts.empty()) << Block;
    }
    // Mail fields in web traffic keep it mail: a message may carry User-Agent.
    EXPECT_TRUE(Deep.IsMessageStart(View(Lf({"From: a@x.org", "To: b@x.org", "Subject: s",
                                             "User-Agent: Mozilla Thunderbird", "", "text"})),
                                    512));
    // After a request or status line, the fields are the request's.
    for (const char* First :
         {"GET /mail?x=1 HTTP/1.1", "HTTP/1.0 404 Not Found", "POST / HTTP/2"}) {
        const std::string Text = std::string("junk\n") + First + "\n" +
                                 Lf({"From: a@x.org", "To: b@x.org", "Subject: s", "", "text"});
        EXPECT_TRUE(Cut(Text).Texts.empty()) << First;
    }
}

namespace {

// Per kind of item: planted, stored contiguously, found whole at its offset.
struct TRow {
    std::size_t Planted = 0, Contiguous = 0, Exact = 0;
};

struct TImageTally {
    std::map<std::string, TRow> Rows;
    std::size_t Strays = 0;    // found items that are no planted message
    std::size_t CutInside = 0; // found items starting inside a planted message
    std::size_t Found = 0;
};

struct TPlantedMessage {
    std::string Row, Text;
};

TScanResult ScanFile(const std::string& Path, TCarvingRule Rule) {
    TScanOptions Options;
    Options.SectorSize = 512;
    Options.Rule = Rule;
    return TScanHardDisk(Path, Options, NullScanHost()).ScanDrive();
}

TImageTally Tally(const std::string& Image, const std::vector<TPlantedMessage>& Planted,
                  const TScanResult& Result) {
    TImageTally T;
    std::map<std::uint64_t, std::string> Found;
    for (std::size_t i = 0; i < Result.Emails.size(); ++i)
        Found[Result.Places[i].Offset] = Result.Emails[i].FullText;
    T.Found = Found.size();
    std::set<std::uint64_t> Matched;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> Ranges;
    for (const TPlantedMessage& M : Planted) {
        TRow& Row = T.Rows[M.Row];
        ++Row.Planted;
        const std::size_t At = Image.find(M.Text);
        if (At == std::string::npos) continue;
        ++Row.Contiguous;
        Ranges.emplace_back(At, At + M.Text.size());
        const auto It = Found.find(At);
        if (It != Found.end() && It->second == M.Text) {
            ++Row.Exact;
            Matched.insert(At);
        }
    }
    for (const auto& [Offset, Text] : Found) {
        if (Matched.count(Offset) != 0) continue;
        ++T.Strays;
        if (std::getenv("PW_SHOW_STRAYS") != nullptr)
            std::printf("  stray at %llu: %s\n", static_cast<unsigned long long>(Offset),
                        Text.substr(0, 120).c_str());
        for (const auto& [From, To] : Ranges)
            if (Offset > From && Offset < To) ++T.CutInside;
    }
    return T;
}

void Print(const char* Title, const TImageTally& Deep, const TImageTally& Standard) {
    std::printf("%s\n  %-22s %8s %10s %11s %9s\n", Title, "kind", "planted", "contiguous",
                "deep exact", "std exact");
    for (const auto& [Name, Row] : Deep.Rows)
        std::printf("  %-22s %8zu %10zu %11zu %9zu\n", Name.c_str(), Row.Planted, Row.Contiguous,
                    Row.Exact, Standard.Rows.at(Name).Exact);
    std::printf("  found: deep %zu (strays %zu, cut inside %zu), standard %zu (strays %zu)\n",
                Deep.Found, Deep.Strays, Deep.CutInside, Standard.Found, Standard.Strays);
}

class UnixMailImage : public ::testing::Test {
  protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() /
              ("pw-unixmail-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(Dir);
    }
    void TearDown() override { fs::remove_all(Dir); }
    void Write(const fs::path& Path, const std::string& Bytes) {
        fs::create_directories(Path.parent_path());
        std::ofstream(Path, std::ios::binary).write(Bytes.data(), Bytes.size());
    }
    static std::string Read(const fs::path& Path) {
        std::ifstream In(Path, std::ios::binary);
        std::ostringstream Out;
        Out << In.rdbuf();
        return Out.str();
    }
    fs::path Dir;
};

} // namespace

TEST_F(UnixMailImage, Ext4MaildirAndMboxFilesLiveAndDeletedComeBackWholeAndExact) {
    if (std::system("command -v mkfs.ext4 >/dev/null 2>&1 && command -v debugfs >/dev/null 2>&1") !=
        0)
        GTEST_SKIP() << "mkfs.ext4 and debugfs (e2fsprogs) are needed to build the ext4 image";
    std::vector<TPlantedMessage> Planted;
    std::vector<std::string> Deleted;
    const fs::path Root = Dir / "root";
    // Maildir: one message a file, every kind, some files deleted afterwards.
    for (int i = 0; i < 160; ++i) {
        const int Kind = i % UnixKinds;
        const std::string Message = MakeUnixMessage(1000 + i, Kind);
        const char* Folder = i % 3 == 0   ? "Maildir/new"
                             : i % 3 == 1 ? "Maildir/cur"
                                          : "Maildir/.Sent/cur";
        const std::string Name = std::string(Folder) + "/1700000" + std::to_string(i) + ".M" +
                                 std::to_string(i) + "P42.host" + (i % 3 == 0 ? "" : ":2,S");
        Write(Root / Name, Message);
        const bool Gone = i % 4 == 1;
        if (Gone) Deleted.push_back(Name);
        Planted.push_back({std::string("maildir ") + (Gone ? "deleted" : "live"), Message});
    }
    // mbox: many messages a file, one file deleted, one holding CR LF messages too.
    for (int f = 0; f < 6; ++f) {
        std::vector<std::string> Messages;
        for (int i = 0; i < 30; ++i) {
            std::string Message = MakeUnixMessage(5000 + f * 100 + i, (i + f) % UnixKinds);
            if (f == 5 && i % 3 == 0) Message = ToCrLf(Message);
            Messages.push_back(Message);
        }
        const std::string Name = "mail/folder" + std::to_string(f);
        Write(Root / Name, MboxFile(Messages, 77 + f * 31));
        const bool Gone = f == 2;
        if (Gone) Deleted.push_back(Name);
        for (const std::string& Message : Messages)
            Planted.push_back({std::string("mbox ") + (Gone ? "deleted" : "live") +
                                   (f == 5 ? " (mixed ends)" : ""),
                               Message});
    }
    const fs::path Image = Dir / "ext4.img";
    std::string Commands;
    for (const std::string& Name : Deleted)
        Commands += "rm /" + Name + "\n";
    Write(Dir / "rm.cmd", Commands);
    const std::string Make = "mkfs.ext4 -q -F -E root_owner=0:0 -d '" + Root.string() + "' '" +
                             Image.string() + "' 16M >/dev/null 2>&1 && debugfs -w -f '" +
                             (Dir / "rm.cmd").string() + "' '" + Image.string() +
                             "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(Make.c_str()), 0) << Make;
    // The deleted files are gone from the file system, their bytes are not.
    const fs::path Gone = Deleted.front();
    const std::string Check = "debugfs -R 'ls /" + Gone.parent_path().string() + "' '" +
                              Image.string() + "' 2>/dev/null | grep -F '" +
                              Gone.filename().string() + "' >/dev/null";
    EXPECT_NE(std::system(Check.c_str()), 0) << "the deleted file is still listed";

    const std::string Bytes = Read(Image);
    const TImageTally DeepTally =
        Tally(Bytes, Planted, ScanFile(Image.string(), TCarvingRule::Deep));
    const TImageTally StandardTally =
        Tally(Bytes, Planted, ScanFile(Image.string(), TCarvingRule::Standard));
    Print("ext4 image, LF Maildir and mbox files", DeepTally, StandardTally);
    std::size_t Contiguous = 0;
    for (const auto& [Name, Row] : DeepTally.Rows) {
        EXPECT_EQ(Row.Exact, Row.Contiguous) << Name;
        EXPECT_GT(Row.Contiguous, Row.Planted * 9 / 10) << Name << ": the image barely holds them";
        Contiguous += Row.Contiguous;
    }
    EXPECT_EQ(DeepTally.CutInside, 0u);
    EXPECT_EQ(DeepTally.Strays, 0u);
    RecordProperty("contiguous", static_cast<int>(Contiguous));
    RecordProperty("deep_strays", static_cast<int>(DeepTally.Strays));
}

TEST_F(UnixMailImage, LookAlikesGiveAtMostOneStrayPerTenThousandBlocks) {
    constexpr std::size_t Blocks = 12000;
    const std::string Image = LookAlikeImage(2026, Blocks, 512);
    // Real mail among them still comes back: a few messages at sector starts.
    std::string Mixed = Image;
    std::vector<TPlantedMessage> Planted;
    for (int i = 0; i < 16; ++i) {
        const std::string Message = MakeUnixMessage(300 + i, i % UnixKinds);
        const std::size_t At = Mixed.size();
        Mixed += Message;
        Mixed.resize((Mixed.size() + 1024) / 512 * 512, '\0');
        Planted.push_back({"mail among them", Message});
        ASSERT_EQ(Mixed.find(Message), At);
    }
    const fs::path Path = Dir / "lookalike.img";
    Write(Path, Mixed);
    const TImageTally DeepTally =
        Tally(Mixed, Planted, ScanFile(Path.string(), TCarvingRule::Deep));
    const TImageTally StandardTally =
        Tally(Mixed, Planted, ScanFile(Path.string(), TCarvingRule::Standard));
    Print("look-alike image (web traffic, form uploads, config, source, CSV, JSON)", DeepTally,
          StandardTally);
    std::printf("  %zu look-alike blocks: %zu strays\n", Blocks, DeepTally.Strays);
    EXPECT_LE(DeepTally.Strays * 10000, Blocks);
    EXPECT_EQ(DeepTally.Rows.at("mail among them").Exact, Planted.size());
    RecordProperty("lookalike_strays", static_cast<int>(DeepTally.Strays));
}
