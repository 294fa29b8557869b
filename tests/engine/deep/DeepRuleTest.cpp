// The deep carving rule: start test, text bytes, cutting, and what it recovers from a disk image
// of real-world-shaped mail compared with the standard rule.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/DeepRule.h"
#include "engine/ScanHost.h"
#include "engine/emailparser.h"
#include "tests/engine/deep/DeepCorpus.h"
#include "tests/support/ReferenceRules.h"

namespace {

std::string Lines(std::initializer_list<std::string_view> Items) {
    std::string Text;
    for (std::string_view Line : Items) {
        Text.append(Line);
        Text.append("\r\n");
    }
    return Text;
}

// The view the scan hands over: up to 64 KiB from the sector start, zeros behind the text.
std::string View(std::string Text) {
    Text.resize(TDeepRule::HeaderReach, '\0');
    return Text;
}

std::string ReceivedChain(int Hops) {
    std::string Text;
    for (int i = 0; i < Hops; ++i)
        Text += Lines({"Received: from relay" + std::to_string(i) + ".example.net ([192.0.2.1])",
                       "\tby mx.example.org with ESMTPS id X" + std::to_string(i),
                       "\tfor <a@example.org>; Tue, 3 Mar 2020 10:00:00 +0000"});
    return Text;
}

const TDeepRule Deep;
const TEmailParser Standard;

std::vector<std::string> FullTexts(const TEmailArray& Found) {
    std::vector<std::string> Texts;
    for (const TEmail& Email : Found)
        Texts.push_back(Email.FullText);
    return Texts;
}

TEmailArray Cut(std::string_view Text, std::vector<std::size_t>* Starts = nullptr) {
    TEmailArray Found;
    Deep.ExtractMessages(Text, Found, Starts);
    return Found;
}

// Walks an image sector by sector as the scan does and collects what either rule finds there:
// the start test at each sector, the run of text bytes, the cut, the jump past the run.
std::vector<std::string> ScanImage(const std::string& Image, bool UseDeep,
                                   std::size_t SectorSize = 512) {
    const std::size_t RunCap = 20971520;
    std::vector<std::string> Found;
    for (std::size_t s = 1; s * SectorSize < Image.size();) {
        const std::size_t Offset = s * SectorSize;
        const std::string_view Rest = std::string_view(Image).substr(Offset);
        std::size_t Run = 0;
        TEmailArray Messages;
        if (UseDeep) {
            if (Deep.IsMessageStart(Rest.substr(0, TDeepRule::HeaderReach), SectorSize)) {
                Run = TDeepRule::TextRunLength(Rest.substr(0, RunCap));
                Deep.ExtractMessages(Rest.substr(0, Run), Messages);
            }
        } else {
            std::string Window(Rest.substr(0, 2 * SectorSize));
            Window.resize(2 * SectorSize, '\0');
            if (Standard.IsMessageStart(Window, SectorSize)) {
                while (Run < Rest.size() && Run < RunCap &&
                       RefRules::RefIsTextByte(static_cast<unsigned char>(Rest[Run])))
                    ++Run;
                Standard.ExtractMessages(Rest.substr(0, Run), Messages);
            }
        }
        for (const TEmail& Email : Messages)
            Found.push_back(Email.FullText);
        s += Run > 0 ? (Run + SectorSize - 1) / SectorSize : 1;
    }
    return Found;
}

TEST(DeepStartTest, WholeHeaderBlocksOfAnyLengthWithinReach) {
    const std::string Tail = Lines({"From: a@example.org", "To: b@example.org", "Subject: s", ""});
    // Twenty folded Received lines put the empty line far beyond two sectors.
    const std::string Long = Lines({"Return-Path: <a@example.org>"}) + ReceivedChain(20) + Tail;
    ASSERT_GT(Long.size(), 2048u);
    EXPECT_TRUE(Deep.IsMessageStart(View(Long), 512));
    std::string Window = Long.substr(0, 1024);
    EXPECT_FALSE(Standard.IsMessageStart(Window, 512)) << "the case the deep rule exists for";

    // Line 0 may be any header line; it counts when its name is known.
    for (std::string_view Opening :
         {"Delivered-To: b@example.org", "MIME-Version: 1.0", "X-Spam-Status: No, score=0"})
        EXPECT_TRUE(Deep.IsMessageStart(View(Lines({Opening}) + Long), 512)) << Opening;
    EXPECT_TRUE(
        Deep.IsMessageStart(View(Lines({"Date: d", "From: f", "X-A: 1", "To: t", ""})), 512));
    EXPECT_FALSE(Deep.IsMessageStart(View(Lines({"X-A: 1", "From: f", "To: t", ""})), 512));
    EXPECT_FALSE(Deep.IsMessageStart(View(Lines({"From: f", "To: t", "Cc:", "X-B: 2", ""})), 512));
    // Empty values, tabbed values and continuations belong in a block.
    EXPECT_TRUE(Deep.IsMessageStart(
        View(Lines({"Received: x", "Cc:", "Bcc:\tnobody", " folded", "From: f", "To: t", ""})),
        512));
}

TEST(DeepStartTest, RefusesWhatIsNoWholeHeaderBlock) {
    const std::string Block = Lines({"From: f", "To: t", "Subject: s", ""});
    EXPECT_TRUE(Deep.IsMessageStart(View(Block), 512));
    for (const std::string& Text :
         {Lines({""}) + Block, Lines({" From: f"}) + Block,
          Lines({"From:f", "To: t", "Date: d", "Subject: s", ""}),
          Lines({"Some prose: with a colon"}) + Block, Lines({"From: f", "To: t", "Subject: s"}),
          // a line of prose inside the block
          Lines({"From: f", "To: t", "a line of prose", "Subject: s", ""}),
          // the block never closes
          Lines({"From: f", "To: t", "Subject: s", "Date: d"}) + std::string(70000, 'x')})
        EXPECT_FALSE(Deep.IsMessageStart(View(Text), 512)) << Text.substr(0, 40);
}

TEST(DeepStartTest, LineZeroEndsInsideTheFirstSector) {
    const std::string Rest = Lines({"To: t", "Subject: s", ""});
    auto WithLineZeroOf = [&](std::size_t Length) { // Length counts the CR LF
        return View("From: " + std::string(Length - 8, 'f') + "\r\n" + Rest);
    };
    EXPECT_TRUE(Deep.IsMessageStart(WithLineZeroOf(512), 512));  // LF is the sector's last byte
    EXPECT_FALSE(Deep.IsMessageStart(WithLineZeroOf(513), 512)); // LF in the next sector
    EXPECT_TRUE(Deep.IsMessageStart(WithLineZeroOf(4096), 4096));
}

TEST(DeepStartTest, BlockClosesWithin64KiB) {
    // Filler header lines of 100 bytes each, then the empty line ending exactly at the reach.
    const std::string Head = Lines({"From: f", "To: t", "Subject: s"});
    std::string Filler;
    while (Head.size() + Filler.size() + 2 + 120 <= TDeepRule::HeaderReach)
        Filler += "X-Filler: " + std::string(88, 'v') + "\r\n";
    const std::size_t Short = TDeepRule::HeaderReach - 2 - Head.size() - Filler.size();
    Filler += "X-Last: " + std::string(Short - 10, 'w') + "\r\n";
    const std::string Exact = Head + Filler + "\r\n";
    ASSERT_EQ(Exact.size(), TDeepRule::HeaderReach);
    EXPECT_TRUE(Deep.IsMessageStart(Exact, 512));
    std::string Over = Head + "X-One: 1\r\n" + Filler + "\r\n";
    EXPECT_FALSE(Deep.IsMessageStart(Over.substr(0, TDeepRule::HeaderReach), 512));
    // Cutting applies the same reach; a block past it is cut as the standard rule cuts it.
    EXPECT_EQ(FullTexts(Cut(Exact + "body\r\n")), std::vector<std::string>{Exact + "body\r\n"});
    EXPECT_EQ(FullTexts(Cut(Over + "body\r\n")), std::vector<std::string>{Over + "body\r\n"});
}

TEST(DeepStartTest, BlockMustBeTextAndNoiseNeverStarts) {
    const std::string Block = Lines({"From: f\xC3\xA9", "To: t\x1B$B", "Subject: \x0C s", ""});
    EXPECT_TRUE(Deep.IsMessageStart(View(Block), 512));
    for (char Bad : {'\0', '\x01', '\x7F', '\x1F'}) {
        std::string Broken = Block;
        Broken[9] = Bad; // inside the To line
        EXPECT_FALSE(Deep.IsMessageStart(View(Broken), 512)) << int(Bad);
    }

    std::mt19937 Rng(1234);
    std::string Sector(65536, '\0');
    for (char& c : Sector)
        c = static_cast<char>(Rng());
    int Starts = 0;
    for (int i = 0; i < 20000; ++i) {
        for (std::size_t k = 0; k < 1024; ++k)
            Sector[k] = static_cast<char>(Rng());
        // Half of the sectors begin like a header line, so the test gets past the first bytes.
        if (i % 2 == 0) Sector.replace(0, 9, "Subject: ");
        Starts += Deep.IsMessageStart(Sector, 512);
    }
    EXPECT_EQ(Starts, 0);
    EXPECT_FALSE(Deep.IsMessageStart(std::string(65536, '\0'), 512));
    EXPECT_FALSE(Deep.IsMessageStart("", 512));
}

TEST(DeepStartTest, LinesSplitAsTheStandardParserSplitsThem) {
    // Random lines over the bytes that matter to the split: line 0 opens a block exactly when the
    // standard parser calls it a header line (made of text bytes), and a stored field holds the
    // parser's value.
    std::mt19937 Rng(9);
    const std::string Alphabet = std::string("Fa-: \t\x80\x7F~") + '\0';
    const std::string Rest = Lines({"To: t", "Subject: s", "Date: d", ""});
    for (int Trial = 0; Trial < 20000; ++Trial) {
        std::string Line = Trial % 3 == 0 ? "From" : "";
        for (std::size_t n = Rng() % 9; n > 0; --n)
            Line += Alphabet[Rng() % Alphabet.size()];
        Line += "\r\n";
        const TRPCField Field = TEmailParser::ParseHeaderLine(Line);
        const bool Text = TDeepRule::TextRunLength(Line) == Line.size();
        ASSERT_EQ(Deep.IsMessageStart(View(Line + Rest), 512), Field.IsField == 1 && Text)
            << testing::PrintToString(Line);
        if (Field.IsField == 1 && Field.Name == "From") {
            const TEmailArray Found = Cut(Line + Rest + "body\r\n");
            ASSERT_EQ(Found.size(), 1u);
            EXPECT_EQ(Found[0].From, Field.Value) << testing::PrintToString(Line);
        }
    }
}

TEST(DeepTextBytes, AlsoFormFeedEscapeAndHighBytes) {
    for (int b = 0; b < 256; ++b) {
        const bool Standard = RefRules::RefIsTextByte(static_cast<unsigned char>(b));
        const bool Expected = Standard || b == 0x0C || b == 0x1B || b >= 0x80;
        EXPECT_EQ(TDeepRule::IsTextByte(static_cast<unsigned char>(b)), Expected) << b;
    }
    EXPECT_EQ(TDeepRule::TextRunLength("ab\x0C\x1B\x80\xFF\r\n"), 8u);
    EXPECT_EQ(TDeepRule::TextRunLength(std::string("abc\0def", 7)), 3u);
    EXPECT_EQ(TDeepRule::TextRunLength("abc\x7F"), 3u);
    EXPECT_EQ(TDeepRule::TextRunLength(""), 0u);

    // Long runs are measured word by word: every stopping byte at every position must still stop.
    std::mt19937 Rng(5);
    for (int Trial = 0; Trial < 3000; ++Trial) {
        std::string Bytes(1 + Rng() % 80, 'a');
        for (char& c : Bytes) {
            c = Trial % 2 ? static_cast<char>(0x20 + Rng() % 0xE0)
                          : "\r\n\t\x0C\x1B\x80\xFFz"[Rng() % 8];
            if (c == '\x7F') c = '~';
        }
        const std::size_t Stop = Rng() % (Bytes.size() + 1);
        if (Stop < Bytes.size()) Bytes[Stop] = "\0\x01\x08\x0E\x1A\x1C\x1F\x7F"[Rng() % 8];
        ASSERT_EQ(TDeepRule::TextRunLength(Bytes), Stop) << Trial;
    }
}

TEST(DeepCutting, EachKindOfMessageComesOutWhole) {
    for (int Kind = 0; Kind < DeepMessageKinds; ++Kind) {
        const std::string Message = MakeDeepMessage(99, Kind);
        ASSERT_EQ(TDeepRule::TextRunLength(Message), Message.size()) << Kind;
        ASSERT_TRUE(Deep.IsMessageStart(View(Message), 512)) << Kind;
        std::vector<std::size_t> Starts;
        const TEmailArray Found = Cut(Message, &Starts);
        ASSERT_EQ(Found.size(), 1u) << "kind " << Kind;
        EXPECT_EQ(Found[0].FullText, Message) << "kind " << Kind;
        EXPECT_EQ(Starts, std::vector<std::size_t>{0});
        // Fields come from the message's own block, never from quoted headers.
        const std::size_t BodyAt = Message.find("\r\n\r\n") + 2;
        EXPECT_EQ(Found[0].Body, Message.substr(BodyAt));
        const std::size_t FromAt = Message.find("\r\nFrom: ") + 7;
        EXPECT_EQ(Found[0].From, Message.substr(FromAt, Message.find("\r\n", FromAt) - FromAt));
        EXPECT_FALSE(Found[0].Subject.empty());
        EXPECT_FALSE(Found[0].Date.empty());
    }
}

TEST(DeepCutting, OpeningLinesBelongToTheMessage) {
    const std::string Block = Lines({"From: f", "To: t", "Subject: s", "", "body"});
    for (std::string_view Opening :
         {"Delivered-To: b@example.org", "MIME-Version: 1.0", "X-Original-To: b@example.org"}) {
        const std::string Text = Lines({Opening}) + Block;
        const TEmailArray Found = Cut(Text);
        ASSERT_EQ(Found.size(), 1u);
        EXPECT_EQ(Found[0].FullText, Text);
        EXPECT_EQ(Found[0].Subject, " s");
    }
    // Lines before the first whole block are no message's.
    const TEmailArray Found = Cut(Lines({"leftover text", "Date: d", "prose"}) + Block);
    ASSERT_EQ(Found.size(), 1u);
    EXPECT_EQ(Found[0].FullText, Block);
    EXPECT_TRUE(Cut("From: f\r\nTo: t\r\nSubject: s\r\n\r\nno line end").size() == 1);
    EXPECT_TRUE(Cut("From: f To: t Subject: s").empty());
}

TEST(DeepCutting, BackToBackMessagesSplitExactly) {
    std::string Text;
    std::vector<std::string> Parts;
    std::vector<std::size_t> Expected;
    for (int Kind : {1, 3, 0, 5, 7}) {
        Expected.push_back(Text.size());
        Parts.push_back(MakeDeepMessage(7, Kind));
        Text += Parts.back();
    }
    std::vector<std::size_t> Starts;
    const TEmailArray Found = Cut(Text, &Starts);
    EXPECT_EQ(FullTexts(Found), Parts);
    EXPECT_EQ(Starts, Expected);

    // A short message right behind a body: its whole block starts it, opening line included.
    const std::string First = Lines({"From: a", "To: b", "Subject: one", "", "text"});
    const std::string Second = Lines({"X-Note: hi", "From: c", "To: d", "Date: e", "", "more"});
    EXPECT_EQ(FullTexts(Cut(First + Second)), (std::vector<std::string>{First, Second}));
}

TEST(DeepCutting, HeaderLikeLinesInBodiesStayBodyText) {
    const std::string Head = Lines({"From: a", "To: b", "Subject: s", ""});
    // A lone Date line, a digest entry with Date and From, a Note line: body text, where the
    // standard rule would begin new messages.
    const std::string Body = Lines({"Hello,", "Date: tomorrow at noon", "see you", "", "Message: 2",
                                    "Date: Tue, 3 Mar 2020", "From: c <c@x>", "", "entry text",
                                    "Note: bring the notes", "Date: d", "To: e", ""});
    const TEmailArray Found = Cut(Head + Body);
    ASSERT_EQ(Found.size(), 1u);
    EXPECT_EQ(Found[0].Body, "\r\n" + Body);
    EXPECT_EQ(Found[0].Date, "");
    TEmailArray StandardFound;
    Standard.ExtractMessages(Head + Body, StandardFound);
    EXPECT_GT(StandardFound.size(), 1u);

    // But where a whole block begins in a body, a message begins, as the standard rule would.
    const std::string Next = Lines({"Date: d", "From: f", "Subject: t", "", "x"});
    EXPECT_EQ(Cut(Head + Body + Next).size(), 2u);
}

TEST(DeepCutting, BlocksPastTheReachFallBackToTheStandardCut) {
    // A block longer than the reach is no whole block, but the standard rule still cuts a message
    // at its first known header line; deep must not merge it into the message before.
    const std::string First = Lines({"From: a", "To: b", "Subject: one", "", "text"});
    std::string Second = Lines({"Return-Path: <c@example.org>"}) + ReceivedChain(500) +
                         Lines({"From: c", "To: d", "Subject: two", "", "more"});
    ASSERT_GT(Second.size(), TDeepRule::HeaderReach);
    TEmailArray StandardFound;
    Standard.ExtractMessages(First + Second, StandardFound);
    ASSERT_EQ(FullTexts(StandardFound), (std::vector<std::string>{First, Second}));
    std::vector<std::size_t> Starts;
    const TEmailArray Found = Cut(First + Second, &Starts);
    EXPECT_EQ(FullTexts(Found), (std::vector<std::string>{First, Second}));
    EXPECT_EQ(Starts, (std::vector<std::size_t>{0, First.size()}));
    ASSERT_EQ(Found.size(), 2u);
    EXPECT_EQ(Found[1].Subject, " two");
    // A header-like line that is no known header line starts nothing, long block or not.
    const std::string Unknown = Lines({"X-Note: n"}) + ReceivedChain(500);
    EXPECT_EQ(FullTexts(Cut(First + Unknown)), (std::vector<std::string>{First + Unknown}));
}

TEST(DeepCutting, EveryQuoteMarkerHoldsQuotedHeaders) {
    const std::string Head = Lines({"From: a", "To: b", "Subject: s", ""});
    for (std::string_view Marker :
         {"----- Original Message -----", "-----Original Message-----",
          "-------- Original Message --------",
          "Begin forwarded message:", "---------- Forwarded message ---------",
          "-------- Forwarded Message --------", "> -----Original Message-----"}) {
        EXPECT_TRUE(TDeepRule::IsQuoteMarker(std::string(Marker) + "\r\n")) << Marker;
        const std::string Text =
            Head + Lines({"reply", Marker, "From: q", "Sent: Monday", "To: r", "Subject: RE: s", "",
                          "quoted text", "", "Date: lone line"});
        const TEmailArray Found = Cut(Text);
        ASSERT_EQ(Found.size(), 1u) << Marker;
        EXPECT_EQ(Found[0].FullText, Text);
        EXPECT_EQ(Found[0].From, " a");
    }
    for (std::string_view Other : {"-----original message-----", "----Original Message----",
                                   "Begin forwarded message", "Forwarded message"})
        EXPECT_FALSE(TDeepRule::IsQuoteMarker(std::string(Other) + "\r\n")) << Other;

    // An empty line right after the marker (as some mailers write it) does not end the quote;
    // the empty line after quoted lines does, so a block after it starts a message.
    const std::string Apple = Head + Lines({"Begin forwarded message:", "", "From: q", "To: r",
                                            "Subject: s", "", "text", ""});
    EXPECT_EQ(Cut(Apple).size(), 1u);
    EXPECT_EQ(Cut(Apple + Lines({"From: n", "To: m", "Date: d", "", "new"})).size(), 2u);
}

TEST(DeepCutting, KeepAliveOncePerStep) {
    struct Counting : TScanHost {
        std::uint64_t Calls = 0;
        void KeepAlive(std::uint64_t) override { ++Calls; }
    } Host;
    const TDeepRule Parser(Host);
    TEmailArray Found;
    Parser.ExtractMessages(Lines({"From: a", "To: b", "Subject: s", "", "x"}) + "tail", Found);
    EXPECT_EQ(Host.Calls, 6u); // five lines and the search that finds no more
}

TEST(DeepCutting, LongHeaderLikeStretchesStayLinear) {
    // Each line could open a block, none closes: every line is looked at a bounded number of
    // times, so a quarter of a million of them cut in a moment (a quadratic cut would not end).
    std::string Text = Lines({"From: a", "To: b", "Subject: s", "", "body"});
    for (int i = 0; i < 250000; ++i)
        Text += "Date: d\r\nTo: t\r\n";
    Text += "prose\r\n";
    // The stretch runs past the reach, so it is cut as the standard rule cuts it: from its first
    // known header line to the end.
    std::vector<std::size_t> Starts;
    const TEmailArray Found = Cut(Text, &Starts);
    ASSERT_EQ(Found.size(), 2u);
    const std::size_t Stretch = Text.find("Date: d");
    EXPECT_EQ(Starts, (std::vector<std::size_t>{0, Stretch}));
    EXPECT_EQ(Found[0].FullText.size() + Found[1].FullText.size(), Text.size());
}

TEST(DeepMeasure, PlantedMessagesAllWholeNoneInvented) {
    const TDeepCorpus Corpus = MakeDeepCorpus(20260308, 96);
    const TDeepTally DeepTally = TallyFound(Corpus, ScanImage(Corpus.Image, true));
    const TDeepTally StandardTally = TallyFound(Corpus, ScanImage(Corpus.Image, false));
    EXPECT_EQ(DeepTally.Whole, Corpus.Messages.size());
    EXPECT_EQ(DeepTally.Invented, 0u);
    EXPECT_LT(StandardTally.Whole, DeepTally.Whole);
    RecordProperty("planted", static_cast<int>(Corpus.Messages.size()));
    RecordProperty("deep_whole", static_cast<int>(DeepTally.Whole));
    RecordProperty("deep_invented", static_cast<int>(DeepTally.Invented));
    RecordProperty("standard_whole", static_cast<int>(StandardTally.Whole));
    std::printf("planted %zu: deep whole %zu, invented %zu; standard whole %zu, other pieces %zu\n",
                Corpus.Messages.size(), DeepTally.Whole, DeepTally.Invented, StandardTally.Whole,
                StandardTally.Invented);
}

TEST(DeepMeasure, NothingFoundInNoiseOrPlainText) {
    std::mt19937 Rng(77);
    std::string Image(4 << 20, '\0');
    for (std::size_t i = 0; i < Image.size(); ++i) {
        const std::size_t Region = (i >> 16) % 3;
        if (Region == 0)
            Image[i] = static_cast<char>(Rng());
        else if (Region == 1)
            Image[i] = "Note: data\r\nKey: value\r\nTo: x\r\nprose line\r\n"[i % 44];
    }
    EXPECT_TRUE(ScanImage(Image, true).empty());
}

} // namespace

namespace {

// Images where every sector may open a header block: header lines, continuations, empty lines,
// prose and stray control bytes in random order, with lines of every length. With Lf, the lines
// end with LF, mostly, and some blocks are short ones or only look like mail.
std::string HeaderishImage(std::mt19937& Rng, std::size_t Size, bool Lf = false) {
    static const std::vector<std::string> Pieces = {"From: f\r\n",
                                                    "To: t\r\n",
                                                    "Subject: s\r\n",
                                                    "Received: from x by y\r\n",
                                                    "X-Long: " + std::string(700, 'v') + "\r\n",
                                                    "\tfolded\r\n",
                                                    "\r\n",
                                                    "prose line\r\n",
                                                    "Date: d\x01\r\n",
                                                    "Cc:\r\n",
                                                    "plain",
                                                    "Reply-To: r\r\n"};
    static const std::vector<std::string> LfPieces = {"From: f@x\n",
                                                      "To: t\n",
                                                      "Subject: s\n",
                                                      "Date: 3 Mar\n",
                                                      "X-Long: " + std::string(700, 'v') + "\n",
                                                      " folded\n",
                                                      "\n",
                                                      "prose line\n",
                                                      "Message-ID: <m@x>\n",
                                                      "Host: h\n",
                                                      "to: lower\n",
                                                      "X-D: form-data\n",
                                                      "Date: d\x01\n",
                                                      "Cc:\n",
                                                      "plain",
                                                      "\r\n",
                                                      "Reply-To: r\r\n"};
    const std::vector<std::string>& From = Lf ? LfPieces : Pieces;
    std::string Image;
    while (Image.size() < Size) {
        // One draw per statement: the order of two draws in one expression is the compiler's
        // choice, and the image must be the same in every build.
        const bool Any = Rng() % 4 == 0;
        Image += From[Rng() % (Any ? From.size() : (Lf ? 9 : 6))];
    }
    Image.resize(Size);
    return Image;
}

} // namespace

TEST(DeepBlockWalker, AnswersAsTheStartTestAsksAfreshAndReadsEachByteBoundedly) {
    std::mt19937 Rng(11);
    std::size_t Starts = 0, Blocks = 0, LfStarts = 0, KnownPast = 0;
    for (int Round = 0; Round < 60; ++Round) {
        const std::uint32_t SectorSize = Round % 3 == 0 ? 64 : 512;
        const std::size_t Size = 200000 + Rng() % 5000;
        const std::string Image = HeaderishImage(Rng, Size, Round >= 40);
        std::uint64_t Fetched = 0;
        TDeepBlockWalker Walker([&](std::uint64_t Offset, std::uint32_t Count) {
            Fetched += Count;
            // Zeros past the end, as the disk buffer serves them.
            static std::string Padded;
            Padded.assign(Image, std::min<std::size_t>(Offset, Image.size()), Count);
            Padded.resize(Count, '\0');
            return std::string_view(Padded);
        });
        for (std::uint64_t Offset = SectorSize; Offset + SectorSize <= Image.size();) {
            std::string Reach = Image.substr(Offset, TDeepRule::HeaderReach);
            Reach.resize(TDeepRule::HeaderReach, '\0');
            const std::size_t Block = Deep.HeaderBlockLength(Reach, SectorSize);
            const TDeepBlockWalker::TStart Start =
                Walker.Examine(Offset, std::string_view(Image).substr(Offset, SectorSize));
            ASSERT_EQ(Start.Block, Block) << "round " << Round << " offset " << Offset;
            if (Block > 0) {
                const std::size_t Text = TDeepRule::TextRunLength(Reach.substr(0, Block));
                ASSERT_EQ(Start.Text, Text) << "round " << Round << " offset " << Offset;
                // What the walk saw to be text, past the block too, is text.
                if (Text == Block) {
                    ASSERT_GE(Start.Known, Block);
                    ASSERT_LE(Start.Known, TDeepRule::TextRunLength(Image.substr(Offset)))
                        << "round " << Round << " offset " << Offset;
                    KnownPast += Start.Known > Block;
                }
                ASSERT_EQ(Deep.IsMessageStart(Reach, SectorSize), Text == Block);
                Starts += Text == Block;
                LfStarts += Text == Block && Round >= 40;
                ++Blocks;
            }
            // Now and then a jump past a run, as after a find.
            Offset += SectorSize * (Rng() % 16 == 0 ? 1 + Rng() % 40 : 1);
        }
        // Asked afresh, every sector would read the whole reach.
        EXPECT_LT(Fetched, 4 * Image.size() + 2 * TDeepRule::HeaderReach) << "round " << Round;
    }
    // Both answers were met often: starts, and blocks that are not text throughout.
    EXPECT_GT(Starts, 100u);
    EXPECT_GT(Blocks - Starts, 100u);
    EXPECT_GT(LfStarts, 50u);
    EXPECT_GT(KnownPast, 50u);
}

// Once three known lines, a mail line and a cased one are read, only a form line can change a
// block's answer, and the walker stops judging the others: a line after them still refuses the
// block, and a later sector that resumes the lines, their kinds made then, answers as a fresh look.
TEST(DeepBlockWalker, LinesAfterTheBlockIsSettledStillCount) {
    constexpr std::uint32_t SectorSize = 64;
    // Every line one sector long, so that each sector opens with one.
    const auto line = [](std::string Text) {
        Text.resize(SectorSize - 1, ' ');
        return Text + "\n";
    };
    struct TCase {
        std::vector<std::string> Lines;
        bool Mail; // the block is a message's
    };
    const std::vector<TCase> Cases = {
        {{"From: a@x", "Date: 3 Mar 2020", "From: b@x", "Host: h"}, false}, // web traffic
        {{"From: a@x", "To: t", "Date: 3 Mar 2020", "X-D: form-data"}, false},
        {{"To: t", "Subject: s", "Date: 3 Mar 2020", "Host: h", "X-A: b"}, true},
        {{"From: a@x", "Date: 3 Mar 2020", "From: b@x", "Subject: s", "Host: h"}, true}};
    for (const TCase& Case : Cases) {
        std::string Image;
        for (int Copy = 0; Copy < 3; ++Copy) {
            for (const std::string& Text : Case.Lines)
                Image += line(Text);
            Image += "\n" + std::string(SectorSize - 1, '\0');
        }
        const TDeepBlockWalker::TFetch Fetch = [&](std::uint64_t Offset, std::uint32_t Count) {
            static std::string Padded;
            Padded.assign(Image, std::min<std::size_t>(Offset, Image.size()), Count);
            Padded.resize(Count, '\0');
            return std::string_view(Padded);
        };
        TDeepBlockWalker Walker(Fetch);
        for (std::uint64_t Offset = 0; Offset + SectorSize <= Image.size(); Offset += SectorSize) {
            std::string Reach = Image.substr(Offset, TDeepRule::HeaderReach);
            Reach.resize(TDeepRule::HeaderReach, '\0');
            const std::size_t Block = Deep.HeaderBlockLength(Reach, SectorSize);
            if (Offset == 0) {
                EXPECT_EQ(Block > 0, Case.Mail) << Case.Lines.back();
            }
            EXPECT_EQ(
                Walker.Examine(Offset, std::string_view(Image).substr(Offset, SectorSize)).Block,
                Block)
                << Case.Lines.back() << " at " << Offset;
        }
    }
}

// A scan split into pieces starts the rule afresh at a piece's first sector: what the rule keeps
// from earlier sectors must change no answer, and a window is all it needs of the sector itself.
TEST(DeepRule, StartsAtAnswersAlikeWhenRestartedAtAnySector) {
    std::mt19937 Rng(5);
    std::size_t Starts = 0, Nones = 0;
    for (int Round = 0; Round < 12; ++Round) {
        const std::uint32_t SectorSize = Round % 3 == 0 ? 64 : 512;
        const std::string Image = HeaderishImage(Rng, 100000 + Rng() % 5000, Round >= 8);
        std::string Padded;
        const TDriveFetch Fetch = [&](std::uint64_t Offset, std::uint32_t Count) {
            Padded.assign(Image, std::min<std::size_t>(Offset, Image.size()), Count);
            Padded.resize(Count, '\0');
            return std::string_view(Padded);
        };
        TDeepRule Walking, Fresh;
        for (std::uint64_t Offset = SectorSize; Offset + SectorSize <= Image.size();
             Offset += SectorSize * (Rng() % 16 == 0 ? 1 + Rng() % 40 : 1)) {
            if (!Walking.MayStart(static_cast<unsigned char>(Image[Offset]))) continue;
            std::string Window = Image.substr(Offset, 2 * SectorSize);
            Window.resize(2 * SectorSize, '\0');
            const TRule* A = Walking.StartsAt({Offset, Window}, SectorSize, Fetch);
            Fresh.Restart();
            const TRule* B = Fresh.StartsAt({Offset, Window}, SectorSize, Fetch);
            ASSERT_EQ(A == nullptr, B == nullptr) << "round " << Round << " offset " << Offset;
            if (A == nullptr) {
                ++Nones;
                continue;
            }
            ASSERT_EQ(A->Kind(), B->Kind()) << "round " << Round << " offset " << Offset;
            // The run is measured on past what the start test saw: that must be text of the rule
            // that answered, whichever did.
            ASSERT_LE(Walking.KnownText(), A->TextPrefix(std::string_view(Image).substr(Offset)))
                << "round " << Round << " offset " << Offset;
            ++Starts;
        }
    }
    // Both answers were met often.
    EXPECT_GT(Starts, 10u);
    EXPECT_GT(Nones, 100u);
}

// The walker counts a block's lines of each kind piece by piece as the block grows: blocks of
// hundreds of short lines, whose verdict rests on exact counts, are answered as a fresh look at
// the block answers them.
TEST(DeepRule, LongBlocksOfShortLinesAreCountedExactly) {
    for (const std::size_t Known : {2, 3, 255, 256, 257, 511, 512, 513, 4000})
        for (std::size_t Unknown = 0; Unknown < 1500; Unknown += 61) {
            std::string Block = Lines({"X-A: 1"});
            for (std::size_t i = 0; i < Unknown; ++i)
                Block += Lines({"X-N: n"});
            for (std::size_t i = 0; i < Known; ++i)
                Block += Lines({"To: t"});
            Block += Lines({""});
            const std::string Image = View(Block);
            const TDriveFetch Fetch = [&](std::uint64_t Offset, std::uint32_t Count) {
                return std::string_view(Image).substr(Offset, Count);
            };
            TDeepRule Rule;
            const bool Starts =
                Rule.StartsAt({0, std::string_view(Image).substr(0, 1024)}, 512, Fetch) != nullptr;
            ASSERT_EQ(Starts, Deep.IsMessageStart(Image, 512))
                << Known << " known lines after " << Unknown;
            ASSERT_EQ(Starts, Known >= 3 && Block.size() <= TDeepRule::HeaderReach) << Known;
        }
}
