#include "engine/ResultView.h"

#include <algorithm>
#include <cctype>

#include "engine/FastStrings.h"

const char* ColumnCaption(TResultColumn Column) {
    switch (Column) {
    case TResultColumn::ItemNum:
        return "Item Num";
    case TResultColumn::Date:
        return "Date";
    case TResultColumn::From:
        return "From";
    case TResultColumn::To:
        return "To";
    case TResultColumn::Subject:
        return "Subject";
    }
    return "";
}

std::string_view ColumnText(const TEmailHeaders& Headers, TResultColumn Column) {
    switch (Column) {
    case TResultColumn::Date:
        return Headers.Date;
    case TResultColumn::From:
        return Headers.From;
    case TResultColumn::To:
        return Headers.To;
    case TResultColumn::Subject:
    case TResultColumn::ItemNum:
        break;
    }
    return Headers.Subject;
}

std::optional<TResultColumn> ColumnFromName(std::string_view Name) {
    std::string n;
    for (char c : Name)
        if (c != ' ' && c != '-' && c != '_')
            n += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (n == "0" || n == "item" || n == "num" || n == "itemnum") return TResultColumn::ItemNum;
    if (n == "1" || n == "date") return TResultColumn::Date;
    if (n == "2" || n == "from") return TResultColumn::From;
    if (n == "3" || n == "to") return TResultColumn::To;
    if (n == "4" || n == "subject") return TResultColumn::Subject;
    return std::nullopt;
}

bool TRowFilter::Shows(const TFoundEmails& Emails, std::size_t Item,
                       std::optional<std::size_t> CopyOf) const {
    if (ClientDeletedOnly && !Emails.ClientDeleted(Item)) return false;
    if (!Keyword.empty() && SearchText(Keyword, Emails.Body(Item), false, 1) == 0) return false;
    if (DecodedText && !DecodedText(Emails, Item)) return false;
    return !(HideCopies && CopyOf);
}

std::vector<std::size_t> TRowFilter::Rows(
    const TFoundEmails& Emails, const std::vector<std::optional<std::size_t>>& Copies) const {
    std::vector<std::size_t> items;
    items.reserve(Emails.size());
    for (std::size_t i = 0; i < Emails.size(); ++i)
        if (Shows(Emails, i, i < Copies.size() ? Copies[i] : std::nullopt)) items.push_back(i);
    return items;
}

std::vector<std::size_t> FilterItems(const TFoundEmails& Emails, std::string_view Keyword) {
    return TRowFilter{std::string(Keyword), {}, false}.Rows(Emails);
}

int CompareTextNoCase(std::string_view A, std::string_view B) {
    const std::size_t n = std::min(A.size(), B.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int a = UpperTable[static_cast<unsigned char>(A[i])];
        const int b = UpperTable[static_cast<unsigned char>(B[i])];
        if (a != b) return a < b ? -1 : 1;
    }
    if (A.size() == B.size()) return 0;
    return A.size() < B.size() ? -1 : 1;
}

int CompareItems(const TFoundEmails& Emails, std::size_t ItemA, std::size_t ItemB,
                 TResultColumn Column) {
    if (Column == TResultColumn::ItemNum) return ItemA < ItemB ? -1 : (ItemA > ItemB ? 1 : 0);
    return CompareTextNoCase(ColumnText(Emails.Headers(ItemA), Column),
                             ColumnText(Emails.Headers(ItemB), Column));
}

void SortItems(std::vector<std::size_t>& Items, const TFoundEmails& Emails, TResultColumn Column,
               bool Ascending) {
    std::stable_sort(Items.begin(), Items.end(), [&](std::size_t a, std::size_t b) {
        const int r = CompareItems(Emails, a, b, Column);
        return Ascending ? r < 0 : r > 0;
    });
}
