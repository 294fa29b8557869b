#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ScanHost.h"
#include "engine/emailparser.h"

namespace {

// Joins lines, each ended by CR LF.
std::string Lines(std::initializer_list<std::string_view> lines) {
    std::string s;
    for (auto l : lines) {
        s.append(l);
        s.append("\r\n");
    }
    return s;
}

// A window of two sectors: the text, then zeros.
std::string Window(std::string text, std::size_t sectorSize = 512) {
    if (text.size() < 2 * sectorSize) text.resize(2 * sectorSize, '\0');
    return text;
}

struct RecordingHost : TScanHost {
    std::uint64_t calls = 0, total = 0;
    void KeepAlive(std::uint64_t count) override {
        ++calls;
        total += count;
    }
};

const TEmailParser parser;

TEST(ParseHeaderLine, SplitsNameAndValueWithLeadingSpace) {
    TRPCField f = TEmailParser::ParseHeaderLine("Subject: Hello\r\n");
    EXPECT_EQ(f.IsField, 1);
    EXPECT_EQ(f.Name, "Subject");
    EXPECT_EQ(f.Value, " Hello");

    f = TEmailParser::ParseHeaderLine("From: Bob  \r\n"); // trailing spaces stay
    EXPECT_EQ(f.Value, " Bob  ");
    f = TEmailParser::ParseHeaderLine("X: \r\n"); // value of the space alone
    EXPECT_EQ(f.IsField, 1);
    EXPECT_EQ(f.Value, " ");
    f = TEmailParser::ParseHeaderLine("To: a: b\r\n"); // the first colon splits
    EXPECT_EQ(f.Name, "To");
    EXPECT_EQ(f.Value, " a: b");
    // Any byte in the value, NUL included.
    f = TEmailParser::ParseHeaderLine(std::string("X-8: \x80\0\xff\r\n", 10));
    EXPECT_EQ(f.Value, std::string(" \x80\0\xff", 4));
}

TEST(ParseHeaderLine, RejectsMalformedLines) {
    for (std::string_view line :
         {"From:Bob\r\n", "From : Bob\r\n", " From: Bob\r\n", "\tFrom: Bob\r\n", ": Bob\r\n",
          "From:\tBob\r\n", "No colon here\r\n", "\r\n", "From:\r\n", "Fr\x80m: x\r\n",
          "Fr\x7fm: x\r\n", "Fr\tm: x\r\n", "From:", ""}) {
        TRPCField f = TEmailParser::ParseHeaderLine(line);
        EXPECT_EQ(f.IsField, 0) << line;
        EXPECT_TRUE(f.Name.empty()) << line;
        EXPECT_TRUE(f.Value.empty()) << line;
    }
}

TEST(ParseHeaderLine, KnownNamesInAnyCaseOnlyWhole) {
    for (std::string_view name : {"Return-Path", "REPLY-TO", "envelope-to", "Delivery-Date",
                                  "received", "Message-ID", "from", "To", "SuBjEcT", "date"}) {
        TRPCField f = TEmailParser::ParseHeaderLine(std::string(name) + ": x\r\n");
        EXPECT_TRUE(TEmailParser::IsKnownHeader(f)) << name;
    }
    for (std::string_view name : {"X-Mailer", "Fromage", "XFrom", "Tos", "Dates", "Return_Path",
                                  "Message-Id2", "Received-SPF", "Reply", "Subj"}) {
        TRPCField f = TEmailParser::ParseHeaderLine(std::string(name) + ": x\r\n");
        ASSERT_EQ(f.IsField, 1);
        EXPECT_FALSE(TEmailParser::IsKnownHeader(f)) << name;
    }
}

TEST(StoreHeaderField, FillsOnlyTheFourStoredFields) {
    TEmail e;
    TEmailParser::StoreHeaderField(TEmailParser::ParseHeaderLine("fRoM: A\r\n"), e);
    TEmailParser::StoreHeaderField(TEmailParser::ParseHeaderLine("TO: B\r\n"), e);
    TEmailParser::StoreHeaderField(TEmailParser::ParseHeaderLine("Subject: S\r\n"), e);
    TEmailParser::StoreHeaderField(TEmailParser::ParseHeaderLine("Date: D\r\n"), e);
    TEmailParser::StoreHeaderField(TEmailParser::ParseHeaderLine("Received: R\r\n"), e);
    TEmailParser::StoreHeaderField(TEmailParser::ParseHeaderLine("X-From: Z\r\n"), e);
    EXPECT_EQ(e.From, " A");
    EXPECT_EQ(e.To, " B");
    EXPECT_EQ(e.Subject, " S");
    EXPECT_EQ(e.Date, " D");
    EXPECT_TRUE(e.FullText.empty());
    TEmailParser::StoreHeaderField(TEmailParser::ParseHeaderLine("From: C\r\n"), e);
    EXPECT_EQ(e.From, " C"); // replaced, not appended
}

TEST(IsQuoteMarker, ExactBytesAnywhereInTheLine) {
    EXPECT_TRUE(TEmailParser::IsQuoteMarker("----- Original Message -----\r\n"));
    EXPECT_TRUE(TEmailParser::IsQuoteMarker("> ----- Original Message ----- x\r\n"));
    EXPECT_FALSE(TEmailParser::IsQuoteMarker("-----Original Message-----\r\n"));
    EXPECT_FALSE(TEmailParser::IsQuoteMarker("----- original message -----\r\n"));
    EXPECT_FALSE(TEmailParser::IsQuoteMarker("----- Original Message ----\r\n"));
}

TEST(IsMessageStart, HeaderBlockCounts) {
    // Three Received lines: all of one name still count.
    EXPECT_TRUE(parser.IsMessageStart(
        Window(Lines({"Received: a", "Received: b", "Received: c", ""})), 512));
    EXPECT_FALSE(parser.IsMessageStart(Window(Lines({"From: a", "To: b", ""})), 512));
    // Other header lines neither count nor break the block.
    EXPECT_TRUE(parser.IsMessageStart(
        Window(Lines({"From: a", "X-Mailer: m", "MIME-Version: 1.0", "To: b", "Subject: s", ""})),
        512));
    // Folded continuations inside the block change nothing.
    EXPECT_TRUE(parser.IsMessageStart(
        Window(Lines({"from: a", "\tcontinued", " more", "TO: b", "subject: s", ""})), 512));
    // Only line 0 opens the block.
    EXPECT_FALSE(parser.IsMessageStart(
        Window(Lines({"X-Mailer: m", "From: a", "To: b", "Subject: s", ""})), 512));
    EXPECT_FALSE(
        parser.IsMessageStart(Window(Lines({"", "From: a", "To: b", "Subject: s", ""})), 512));
    EXPECT_FALSE(parser.IsMessageStart(
        Window(Lines({"From:a", "To: b", "Subject: s", "Date: d", ""})), 512));
    EXPECT_FALSE(parser.IsMessageStart(
        Window(Lines({"From : a", "To: b", "Subject: s", "Date: d", ""})), 512));
    EXPECT_FALSE(parser.IsMessageStart(
        Window(Lines({" From: a", "To: b", "Subject: s", "Date: d", ""})), 512));
    // The body is never looked at; the block closes at the first empty line.
    EXPECT_FALSE(
        parser.IsMessageStart(Window(Lines({"From: a", "To: b", "", "Subject: s", ""})), 512));
    EXPECT_TRUE(
        parser.IsMessageStart(Window(Lines({"From: a", "To: b", "Date: c", "", "garbage"})), 512));
}

TEST(IsMessageStart, WindowLimits) {
    // No empty line inside the window: no, however many known lines.
    std::string many;
    while (many.size() < 1000)
        many += "Received: by somewhere\r\n";
    EXPECT_FALSE(parser.IsMessageStart(many.substr(0, 1024), 512));
    // The block closes in the second sector: yes.
    std::string longBlock = "From: a\r\n";
    while (longBlock.size() < 700)
        longBlock += "X-Filler: 0123456789\r\n";
    longBlock += "To: b\r\nDate: d\r\n\r\n";
    EXPECT_TRUE(parser.IsMessageStart(Window(longBlock), 512));
    // Line 0's CR must stand before position SectorSize (1-based).
    for (std::size_t crAt = 500; crAt < 520; ++crAt) {
        std::string line0 = "Subject: ";
        line0.resize(crAt - 1, 'x'); // CR at 1-based position crAt
        std::string w = Window(line0 + "\r\n" + Lines({"From: a", "To: b", ""}));
        EXPECT_EQ(parser.IsMessageStart(w, 512), crAt < 512) << crAt;
    }
    // A string without CR LF has no lines.
    EXPECT_FALSE(parser.IsMessageStart(std::string(1024, 'x'), 512));
    EXPECT_FALSE(parser.IsMessageStart("", 512));
    EXPECT_FALSE(parser.IsMessageStart(Lines({"From: a", "To: b", "Date: c", ""}), 0));
    // Lone CR and LF are ordinary bytes: the line goes on.
    EXPECT_FALSE(parser.IsMessageStart(Window("From: a\rTo: b\nDate: c\r\n\r\n"), 512));
}

TEST(IsMessageStart, FirstByteFilterNeverRejectsAStart) {
    // The scan asks MayStartMessage before IsMessageStart: it must pass every window that starts
    // a message (each known name, both cases) and may reject only bytes no name starts with.
    const std::vector<std::string> names = {
        "Return-Path", "Reply-To",   "Received", "Envelope-To", "Delivery-Date",
        "Date",        "Message-ID", "From",     "To",          "Subject"};
    std::vector<bool> starts(256, false);
    for (std::string name : names) {
        for (int upper = 0; upper < 2; ++upper) {
            name[0] = static_cast<char>(upper ? name[0] & ~0x20 : name[0] | 0x20);
            const std::string w =
                Window(Lines({name + ": x", "From: a", "To: b", "Subject: s", ""}));
            ASSERT_TRUE(parser.IsMessageStart(w, 512)) << name;
            EXPECT_TRUE(TEmailParser::MayStartMessage(static_cast<unsigned char>(w[0]))) << name;
            starts[static_cast<unsigned char>(w[0])] = true;
        }
    }
    for (int b = 0; b < 256; ++b) {
        std::string w = Window(Lines({"From: a", "To: b", "Subject: s", ""}));
        w[0] = static_cast<char>(b);
        const bool may = TEmailParser::MayStartMessage(static_cast<unsigned char>(b));
        EXPECT_TRUE(may || !parser.IsMessageStart(w, 512)) << b;
        EXPECT_EQ(may, starts[b]) << b;
    }
}

TEST(ExtractMessages, WorkedElevenLineRun) {
    const std::string text =
        Lines({"Return-Path: x", "From: A", "X-Mailer: M", "Subject: S", "", "Hello",
               "----- Original Message -----", "From: B", "", "Date: D", ""});
    TEmailArray result;
    std::vector<std::size_t> starts;
    parser.ExtractMessages(text, result, &starts);
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[0].From, " A");
    EXPECT_EQ(result[0].To, "");
    EXPECT_EQ(result[0].Subject, " S");
    EXPECT_EQ(result[0].Date, "");
    EXPECT_EQ(result[0].FullText,
              Lines({"Return-Path: x", "From: A", "X-Mailer: M", "Subject: S", "", "Hello",
                     "----- Original Message -----", "From: B", ""}));
    EXPECT_EQ(result[0].Body, Lines({"", "Hello", "----- Original Message -----", "From: B", ""}));
    EXPECT_EQ(result[1].From, "");
    EXPECT_EQ(result[1].To, "");
    EXPECT_EQ(result[1].Subject, "");
    EXPECT_EQ(result[1].Date, " D");
    EXPECT_EQ(result[1].FullText, Lines({"Date: D", ""}));
    EXPECT_EQ(result[1].Body, "\r\n");
    EXPECT_EQ(starts, (std::vector<std::size_t>{0, text.find("Date: D")}));
}

TEST(ExtractMessages, PartEdgeCases) {
    TEmailArray r;
    // A trailing fragment without CR LF belongs to nothing.
    parser.ExtractMessages(Lines({"From: a", "To: b", "", "body 1", "body 2"}) + "fragment", r);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].FullText, Lines({"From: a", "To: b", "", "body 1", "body 2"}));
    EXPECT_EQ(r[0].Body, Lines({"", "body 1", "body 2"}));

    // Back to back: the second opens with Return-Path right after the first's body.
    parser.ExtractMessages(Lines({"From: a", "", "b1", "Return-Path: <x>", "From: c", "", "b2"}),
                           r);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].Body, Lines({"", "b1"}));
    EXPECT_EQ(r[1].From, " c");
    EXPECT_EQ(r[1].FullText, Lines({"Return-Path: <x>", "From: c", "", "b2"}));

    // A Date line in a body outside quotes begins a message with only Date set.
    parser.ExtractMessages(Lines({"From: a", "Subject: s", "", "text", "Date: today", "more"}), r);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].Date, " today");
    EXPECT_TRUE(r[1].From.empty() && r[1].To.empty() && r[1].Subject.empty());
    EXPECT_TRUE(r[1].Body.empty()); // the text ran out before its block ended
    EXPECT_EQ(r[1].FullText, Lines({"Date: today", "more"}));

    // A quoted block keeps its header lines in the body.
    parser.ExtractMessages(Lines({"From: a", "", "----- Original Message -----", "From: q", "To: q",
                                  "Subject: q", "", "tail"}),
                           r);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].From, " a");
    EXPECT_TRUE(r[0].To.empty());

    // The marker without its spaces or in other case is no marker.
    for (std::string_view marker : {"-----Original Message-----", "----- ORIGINAL MESSAGE -----"}) {
        parser.ExtractMessages(Lines({"From: a", "", marker, "From: q", ""}), r);
        ASSERT_EQ(r.size(), 2u) << marker;
        EXPECT_EQ(r[1].From, " q");
    }

    // Repeated header: the later wins. Folded: the first physical line only.
    parser.ExtractMessages(Lines({"Subject: one", "Subject: two", "To: t", "\tfolded", ""}), r);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Subject, " two");
    EXPECT_EQ(r[0].To, " t");
    EXPECT_EQ(r[0].FullText, Lines({"Subject: one", "Subject: two", "To: t", "\tfolded", ""}));

    // Lines before the first known header line are dropped; no CR LF means no messages.
    parser.ExtractMessages(Lines({"junk", "X-A: b", "", "To: x", ""}), r);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].FullText, Lines({"To: x", ""}));
    parser.ExtractMessages("From: a  no line end", r);
    EXPECT_TRUE(r.empty());
}

TEST(ExtractMessages, QuoteStateFollowsTheRulesOutsideBodiesToo) {
    TEmailArray r;
    // A marker inside a header block mutes the known lines after it; the block's own empty line
    // ends the block, not the quote, so the next empty line is needed to end quote mode.
    parser.ExtractMessages(Lines({"From: a", "----- Original Message -----", "To: x", "",
                                  "Subject: still quoted", "", "Subject: new"}),
                           r);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_TRUE(r[0].To.empty());
    EXPECT_EQ(r[1].Subject, " new");
    // A marker before the first message mutes the first known line too.
    parser.ExtractMessages(Lines({"----- Original Message -----", "From: q", "", "From: a", ""}),
                           r);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].From, " a");
    // A header line carrying the marker in its value is a header line, not a marker.
    parser.ExtractMessages(
        Lines({"From: a", "", "X-Note: ----- Original Message -----", "To: b", ""}), r);
    EXPECT_EQ(r.size(), 2u);
}

TEST(ExtractMessages, ReplacesTheListAndTheStarts) {
    TEmailArray r(3);
    std::vector<std::size_t> starts{7, 8, 9};
    parser.ExtractMessages("", r, &starts);
    EXPECT_TRUE(r.empty());
    EXPECT_TRUE(starts.empty());
}

TEST(ExtractMessages, OneKeepAlivePerStepOfTheWalk) {
    RecordingHost host;
    const TEmailParser p(host);
    TEmailArray r;
    p.ExtractMessages("", r);
    EXPECT_EQ(host.calls, 1u); // the one unsuccessful search
    host.calls = 0;
    p.ExtractMessages(Lines({"junk", "From: a", "", "body", "\r", "x\ny"}) + "tail\r", r);
    EXPECT_EQ(host.calls, 7u); // six lines, then the search that finds none
    EXPECT_EQ(host.total, 8u);
    host.calls = 0;
    EXPECT_TRUE(p.IsMessageStart(Window(Lines({"From: a", "To: b", "Date: c", ""})), 512));
    EXPECT_EQ(host.calls, 0u); // the start test has no keep-alive step
}

} // namespace
