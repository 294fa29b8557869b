#include <gtest/gtest.h>

#include <random>

#include "engine/ClientFlags.h"
#include "engine/Copies.h"
#include "engine/ResultView.h"

namespace {

TEmail Mail(std::string Date, std::string From, std::string Subject, std::string Body) {
    TEmail e;
    e.Date = std::move(Date);
    e.From = std::move(From);
    e.To = " someone";
    e.Subject = std::move(Subject);
    e.Body = std::move(Body);
    e.FullText = "From:" + e.From + "\r\n\r\n" + e.Body;
    return e;
}

TEST(ResultView, KeywordFilterSearchesTheBodyOnlyIgnoringCase) {
    const TEmailArray emails = {
        Mail(" d0", " Alice", " Invoice", "\r\nPlease pay the INVOICE\r\n"),
        Mail(" d1", " Bob", " invoice in subject only", "\r\nnothing here\r\n"),
        Mail(" d2", " Carol", " x", ""),
        Mail(" d3", " Dave", " y", "\r\nyour invoice, again\r\n"),
    };
    EXPECT_EQ(FilterItems(emails, "invoice"), (std::vector<std::size_t>{0, 3}));
    EXPECT_EQ(FilterItems(emails, "InVoIcE"), (std::vector<std::size_t>{0, 3}));
    EXPECT_EQ(FilterItems(emails, "invoice,"), (std::vector<std::size_t>{3}));
    EXPECT_TRUE(FilterItems(emails, "absent").empty());
    // An empty keyword filters nothing (the desktop's "Apply" ignores it).
    EXPECT_EQ(FilterItems(emails, ""), (std::vector<std::size_t>{0, 1, 2, 3}));
    EXPECT_TRUE(FilterItems({}, "x").empty());
}

TEST(ResultView, RowFilterTestsKeywordThenDecodedTextThenCopies) {
    // Items 3 and 5 are copies of 0 and 1; the "decoded text" here is the Subject.
    const TFoundEmails emails(TEmailArray{
        Mail(" d0", " a", " red", "\r\ninvoice\r\n"),
        Mail(" d1", " b", " blue", "\r\nINVOICE due\r\n"),
        Mail(" d2", " c", " red", "\r\nnothing\r\n"),
        Mail(" d0", " a", " red", "\r\ninvoice\r\n"),
        Mail(" d4", " e", " blue", "\r\nan Invoice\r\n"),
        Mail(" d1", " b", " blue", "\r\nINVOICE due\r\n"),
    });
    const std::vector<std::optional<std::size_t>> copies = FindCopies(emails);
    ASSERT_EQ(copies[3], 0u);
    ASSERT_EQ(copies[5], 1u);
    std::vector<std::size_t> asked;
    auto subjectHas = [&asked](std::string Word) -> TDecodedTextTest {
        return [&asked, Word](const TFoundEmails& Emails, std::size_t Item) {
            asked.push_back(Item);
            return Emails.Headers(Item).Subject.find(Word) != std::string_view::npos;
        };
    };
    struct TCase {
        std::string Keyword;
        std::string Word; // empty: no decoded-text test
        bool Hide;
        std::vector<std::size_t> Rows;
        std::vector<std::size_t> Asked; // the items the decoded text was asked about
    };
    for (const TCase& c : std::vector<TCase>{
             {"", "", false, {0, 1, 2, 3, 4, 5}, {}},
             {"", "", true, {0, 1, 2, 4}, {}},
             {"invoice", "", true, {0, 1, 4}, {}},
             {"", "blue", false, {1, 4, 5}, {0, 1, 2, 3, 4, 5}},
             {"invoice", "blue", false, {1, 4, 5}, {0, 1, 3, 4, 5}},
             {"invoice", "blue", true, {1, 4}, {0, 1, 3, 4, 5}},
             {"absent", "blue", true, {}, {}},
         }) {
        const TRowFilter filter{c.Keyword, c.Word.empty() ? TDecodedTextTest() : subjectHas(c.Word),
                                c.Hide};
        asked.clear();
        EXPECT_EQ(filter.Rows(emails, copies), c.Rows) << c.Keyword << "/" << c.Word << c.Hide;
        EXPECT_EQ(asked, c.Asked) << c.Keyword << "/" << c.Word << c.Hide;
        // One message at a time, as a scan finds them, copies found on the way: the same rows.
        TCopyFinder finder;
        std::vector<std::size_t> streamed;
        for (std::size_t item = 0; item < emails.size(); ++item)
            if (filter.Shows(emails, item, finder.Add(emails, item))) streamed.push_back(item);
        EXPECT_EQ(streamed, c.Rows) << c.Keyword << "/" << c.Word << c.Hide;
    }
}

TEST(ResultView, SortRulesFollowTheColumn) {
    TEmailArray emails;
    for (int i = 0; i < 12; ++i)
        emails.push_back(Mail(" d", i % 2 ? " bob" : " Alice", " s", ""));
    emails[3].From = " Bob";
    emails[10].From = " aaron";
    std::vector<std::size_t> rows = {10, 9, 2, 1, 0, 11, 3, 4, 5, 6, 7, 8};

    std::vector<std::size_t> byNum = rows;
    SortItems(byNum, emails, TResultColumn::ItemNum, true);
    EXPECT_EQ(byNum, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    SortItems(byNum, emails, TResultColumn::ItemNum, false);
    EXPECT_EQ(byNum.front(), 11u);
    EXPECT_EQ(byNum.back(), 0u);

    std::vector<std::size_t> byFrom = rows;
    SortItems(byFrom, emails, TResultColumn::From, true);
    // aaron < Alice... (case ignored) < bob == Bob, ties keep their order.
    EXPECT_EQ(byFrom.front(), 10u);
    EXPECT_EQ(emails[byFrom[1]].From, " Alice");
    EXPECT_EQ(emails[byFrom.back()].From.substr(1), "bob");
    std::vector<std::size_t> bobs;
    for (std::size_t i : byFrom)
        if (emails[i].From == " bob" || emails[i].From == " Bob") bobs.push_back(i);
    EXPECT_EQ(bobs, (std::vector<std::size_t>{9, 1, 11, 3, 5, 7}));

    SortItems(byFrom, emails, TResultColumn::From, false);
    EXPECT_EQ(byFrom.back(), 10u);
}

TEST(ResultView, TextComparisonIgnoresCaseAndColumnsHaveTheirNames) {
    EXPECT_EQ(CompareTextNoCase("abc", "ABC"), 0);
    EXPECT_LT(CompareTextNoCase("ab", "abc"), 0);
    EXPECT_GT(CompareTextNoCase("b", "A"), 0);
    EXPECT_STREQ(ColumnCaption(TResultColumn::ItemNum), "Item Num");
    EXPECT_STREQ(ColumnCaption(TResultColumn::Subject), "Subject");
    EXPECT_EQ(ColumnFromName("Item Num"), TResultColumn::ItemNum);
    EXPECT_EQ(ColumnFromName("item"), TResultColumn::ItemNum);
    EXPECT_EQ(ColumnFromName("FROM"), TResultColumn::From);
    EXPECT_EQ(ColumnFromName("3"), TResultColumn::To);
    EXPECT_EQ(ColumnFromName("sender"), std::nullopt);
}

} // namespace

TEST(ResultView, DeletedInTheMailProgramIsReadFromTheHeaderBlockOnly) {
    struct TCase {
        std::string Head; // header lines before "Subject: s", LF ends
        bool Deleted;
    };
    for (const TCase& c : std::vector<TCase>{
             {"X-Mozilla-Status: 0009\n", true}, // read, expunged
             {"X-Mozilla-Status: 0008\n", true},
             {"x-mozilla-status:000F\n", true},
             {"X-Mozilla-Status: 0001\n", false}, // read only
             {"X-Mozilla-Status: 8000\n", false},
             {"X-Mozilla-Status: 00g8\n", false},      // not hexadecimal
             {"X-Mozilla-Status: 000000008\n", false}, // longer than the field is written
             {"Status: RO\n", false},
             {"Status: D\n", true},
             {"Status: ROD\n", true},
             {"X-Status: ADF\n", true},
             {"X-Status: AF\n", false},
             {"Status: Delivered\n", false}, // words are no flags
             {"Status: d\n", false},
             {"Status:\n D\n", true},            // folded
             {"Status: RO\nStatus: D\n", false}, // the first one counts
             {"X-Mozilla-Status: 0001\nX-Status: D\n", true},
             {"X-Mailer: Status: D\n", false},
             {"Status:\nReceived: by x\n D\n", false}, // another field's continuation
             // Lines longer than the sixteen bytes looked at at once, ends on either side of them.
             {"Received: from relay.example.org by mx.example.net\n\tfor <a@x.org>\nStatus: D\n",
              true},
         }) {
        for (const char* End : {"\n", "\r\n"}) {
            std::string Text = c.Head + "From: a@x.org\nSubject: s\n\nStatus: D\n";
            if (std::string(End) == "\r\n") {
                std::string Crlf;
                for (char ch : Text)
                    Crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
                Text = Crlf;
            }
            TFoundEmails emails(TEmailArray{});
            emails.Add(Text, "", {});
            EXPECT_EQ(emails.ClientDeleted(0), c.Deleted) << c.Head;
        }
    }
    // Only in the body: nothing.
    TFoundEmails body(TEmailArray{});
    body.Add("From: a@x.org\n\nX-Mozilla-Status: 0009\nStatus: D\n", "", {});
    EXPECT_FALSE(body.ClientDeleted(0));

    // Told where the body starts, the answer is the line walk's, wherever that start lies: at the
    // block's empty line (the search through the block alone settles it), anywhere else, or in a
    // copy of the text's end.
    const char* names[] = {"Status",   "status",           "STATUS",
                           "X-Status", "X-Mozilla-Status", "x-mozilla-status"};
    const char* others[] = {"Received", "Subject",       "X-Mailer",  "Statu",
                            "Status ",  "X-Spam-Status", "AX-Status", "X-Mozilla-X-Status"};
    const char* values[] = {" D", " RO", "D", " 0009", " 0001", " ADF", "", " x: Status: D"};
    const char* ends[] = {"\n", "\r\n", "\r", "\r\r\n", "\n\n", "\r\n\r\n", "\n\r\n", "\n\r"};
    std::mt19937 random(24);
    const auto any = [&](const auto& From) { return From[random() % std::size(From)]; };
    for (int round = 0; round < 20000; ++round) {
        // Mostly one field looked for among others, so that a search that misses it is seen.
        std::string text;
        for (auto lines = random() % 12; lines > 0; --lines) {
            if (random() % 4 == 0) text += (random() % 2 ? " " : "\t"); // a continuation
            text += std::string(random() % 5 == 0 ? any(names) : any(others)) + ":";
            text += random() % 8 == 0 ? any(values) : " D";
            text += std::string(random() % 70, ' '); // places the next line anywhere in a block
            text += any(ends);
        }
        if (text.empty()) continue;
        const std::string_view whole(text);
        // Every place a body could be said to start that the search must not be fooled by.
        for (std::size_t h = 0; h < text.size(); ++h) {
            if (text[h] != '\n' && text[h] != '\r' && random() % 8 != 0) continue;
            const std::string copy(whole.substr(h));
            ASSERT_EQ(IsClientDeleted(whole, whole.substr(h)), IsClientDeleted(whole)) << text;
            ASSERT_EQ(IsClientDeleted(whole, copy), IsClientDeleted(whole)) << text;
        }
    }

    // The filter: with the others, cheapest first, rows in found order.
    TEmailArray mails = {
        Mail(" d0", " a", " s", "\r\ninvoice\r\n"), Mail(" d1", " b", " s", "\r\ninvoice\r\n"),
        Mail(" d2", " c", " s", "\r\nnothing\r\n"), Mail(" d3", " d", " s", "\r\nnothing\r\n")};
    mails[1].FullText = "Status: RO\r\nX-Status: D\r\n" + mails[1].FullText;
    mails[2].FullText = "X-Mozilla-Status: 0009\r\n" + mails[2].FullText;
    const TFoundEmails emails(mails);
    TRowFilter filter;
    filter.ClientDeletedOnly = true;
    EXPECT_EQ(filter.Rows(emails), (std::vector<std::size_t>{1, 2}));
    filter.Keyword = "invoice";
    EXPECT_EQ(filter.Rows(emails), (std::vector<std::size_t>{1}));
    filter.ClientDeletedOnly = false;
    EXPECT_EQ(filter.Rows(emails), (std::vector<std::size_t>{0, 1}));
}
