#pragma once

// Copies among the found messages: the same message is often stored several times (Inbox, Sent,
// a mailbox file). Messages are copies when their stored bytes are equal, byte for byte.

#include <cstddef>
#include <optional>
#include <vector>

#include "FoundEmails.h"

// For each item: the item number of the first message with the same stored bytes (FullText), or
// nullopt for the first of its kind.
std::vector<std::optional<std::size_t>> FindCopies(const TFoundEmails& Emails);

// Rows without the later copies: each set of copies keeps only its first message. Order kept.
std::vector<std::size_t> WithoutCopies(const std::vector<std::size_t>& Rows,
                                       const std::vector<std::optional<std::size_t>>& Copies);
