#include <gtest/gtest.h>

#include "ResultView.h"

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
