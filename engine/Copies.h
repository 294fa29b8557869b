#pragma once

// Copies among the found messages: the same message is often stored several times (Inbox, Sent,
// a mailbox file). Messages are copies when their stored bytes are equal, byte for byte.

#include <cstddef>
#include <optional>
#include <unordered_map>
#include <vector>

#include "engine/FoundEmails.h"

// Copies found as the messages come, one item after the other in found order.
class TCopyFinder {
  public:
    // The first earlier item with the same stored bytes as Item, or nullopt when Item is the
    // first of its kind (it is then remembered for the items after it).
    std::optional<std::size_t> Add(const TFoundEmails& Emails, std::size_t Item);

  private:
    // Only a hash of each text is kept, as the texts may be far more than memory holds; equal
    // hashes are confirmed byte for byte.
    std::unordered_multimap<std::size_t, std::size_t> FFirst;
};

// For each item: the item number of the first message with the same stored bytes (FullText), or
// nullopt for the first of its kind.
std::vector<std::optional<std::size_t>> FindCopies(const TFoundEmails& Emails);

// Rows without the later copies: each set of copies keeps only its first message. Order kept.
std::vector<std::size_t> WithoutCopies(const std::vector<std::size_t>& Rows,
                                       const std::vector<std::optional<std::size_t>>& Copies);
