#include "Copies.h"

#include <string_view>
#include <unordered_map>

std::vector<std::optional<std::size_t>> FindCopies(const TEmailArray& Emails) {
    std::vector<std::optional<std::size_t>> copies(Emails.size());
    // Keys view the list's own strings: no second copy of what was found.
    std::unordered_map<std::string_view, std::size_t> first;
    first.reserve(Emails.size());
    for (std::size_t i = 0; i < Emails.size(); ++i) {
        const auto [at, added] = first.try_emplace(Emails[i].FullText, i);
        if (!added) copies[i] = at->second;
    }
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
