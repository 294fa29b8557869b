#include "Copies.h"

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

std::vector<std::optional<std::size_t>> FindCopies(const TFoundEmails& Emails) {
    std::vector<std::optional<std::size_t>> copies(Emails.size());
    // Only a hash of each text is kept, as the texts may be far more than memory holds; equal
    // hashes are confirmed byte for byte.
    std::unordered_multimap<std::size_t, std::size_t> first;
    first.reserve(Emails.size());
    for (std::size_t i = 0; i < Emails.size(); ++i) {
        const std::string text = Emails.FullText(i);
        const std::size_t hash = std::hash<std::string_view>{}(text);
        const auto [from, to] = first.equal_range(hash);
        for (auto it = from; it != to && !copies[i]; ++it)
            if (Emails.FullTextSize(it->second) == text.size() &&
                Emails.FullText(it->second) == text)
                copies[i] = it->second;
        if (!copies[i]) first.emplace(hash, i);
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
