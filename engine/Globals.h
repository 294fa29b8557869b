#pragma once

#include <string>
#include <vector>

// One message found on the drive: the stored bytes, never re-encoded.
struct TEmail {
    std::string From;
    std::string To;
    std::string Subject;
    std::string Date;
    std::string FullText;
    std::string Body;

    bool operator==(const TEmail&) const = default;
};

// The found-message list, in the order found; an element's index is its "Item Num".
using TEmailArray = std::vector<TEmail>;
