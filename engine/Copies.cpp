#include "engine/Copies.h"

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

std::optional<std::size_t> TCopyFinder::Add(const TFoundEmails& Emails, std::size_t Item) {
    const std::string text = Emails.FullText(Item);
    const std::size_t hash = std::hash<std::string_view>{}(text);
    const auto [from, to] = FFirst.equal_range(hash);
    for (auto it = from; it != to; ++it)
        if (Emails.FullTextSize(it->second) == text.size() && Emails.FullText(it->second) == text)
            return it->second;
    FFirst.emplace(hash, Item);
    return std::nullopt;
}

std::vector<std::optional<std::size_t>> FindCopies(const TFoundEmails& Emails) {
    std::vector<std::optional<std::size_t>> copies(Emails.size());
    TCopyFinder finder;
    for (std::size_t i = 0; i < Emails.size(); ++i)
        copies[i] = finder.Add(Emails, i);
    return copies;
}

std::vector<std::size_t> WithoutCopies(const std::vector<std::size_t>& Rows,
                                       const std::vector<std::optional<std::size_t>>& Copies) {
    std::vector<std::size_t> kept;
    kept.reserve(Rows.size());
    for (std::size_t item : Rows)
        if (item >= Copies.size() || !Copies[item]) kept.push_back(item);
    return kept;
}
