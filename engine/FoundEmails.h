#pragma once

// The found-message list. A disk full of mail holds far more message bytes than memory, so the
// list keeps only a small record per message and the four header fields in memory; the stored
// bytes (FullText, and Body where it is not FullText's end) stay in memory up to a limit and then
// go to a scratch file in the system's temporary folder, which is gone when the list is.
//
// The bytes are copied when a message is added, not read again from the drive later: a live
// system disk changes under the scan, and what is exported must be what the scan found, byte for
// byte.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Globals.h"
#include "engine/LargeBlocks.h"

class TSystemLayer;

// Whether Body is FullText's last bytes, as the rules cut a message; such a body is not stored
// twice.
bool EndsText(std::string_view FullText, std::string_view Body);

// The header fields of one message: views into the list's memory, valid as long as the list.
struct TEmailHeaders {
    std::string_view From, To, Subject, Date;
};

class TFoundEmails {
  public:
    // Message bytes held in memory before the list moves them to a scratch file.
    static constexpr std::size_t DefaultMemoryBytes = 32u << 20;

    TFoundEmails();
    // MemoryBytes 0 writes every message to the scratch file at once. The system layer makes
    // the file and must outlive the list.
    TFoundEmails(std::size_t MemoryBytes, TSystemLayer& System);
    // A list holding these messages, in memory (for lists made by hand, as tests and small tools
    // do; implicit so that a plain array serves wherever a list is asked for).
    TFoundEmails(const TEmailArray& Emails); // NOLINT(google-explicit-constructor)
    // What a list holds of the messages added: all of them; every one's record and header fields
    // but the bytes (FullText, Body) of the last one only; or the last one only, the ones before
    // it counted (items keep their numbers) and no longer held. The last two are for a caller
    // that takes each message as it is added and needs no earlier one's bytes (or nothing of it)
    // later: they keep what they hold in memory, write no scratch file, and the bytes they hold
    // do not grow with the messages. Asking for what is no longer held throws std::out_of_range.
    enum class TKeep { Everything, LatestBytes, Latest };
    static TFoundEmails Keeping(TKeep What);

    std::size_t size() const { return FDropped + FEntries.size(); }
    bool empty() const { return size() == 0; }
    // Whether the bytes of Item are still held (always, but in a list that keeps less).
    bool HoldsBytes(std::size_t Item) const {
        return Item >= FDropped && Item < size() &&
               (FKeep == TKeep::Everything || Item + 1 == size());
    }

    // Adds a copy of the message. Throws TPwError when its bytes cannot be kept (no scratch file
    // can be made, the temporary folder is full); the list is then as it was, every message
    // added before still whole.
    void Add(const TEmail& Email);
    // The same for a message given as views (Body empty or anywhere, usually FullText's end).
    // ClientDeleted, where the caller settled it already (IsClientDeleted of FullText), is taken
    // as it is.
    void Add(std::string_view FullText, std::string_view Body, const TEmailHeaders& Headers,
             std::optional<bool> ClientDeleted = std::nullopt);

    TEmailHeaders Headers(std::size_t Item) const;
    std::string FullText(std::size_t Item) const;
    std::string Body(std::size_t Item) const;
    std::uint64_t FullTextSize(std::size_t Item) const;
    // Whether the mail program that stored the message marked it deleted (IsClientDeleted),
    // settled from its header block when it was added.
    bool ClientDeleted(std::size_t Item) const { return Entry(Item).ClientDeleted; }
    // The whole message, copied out.
    TEmail operator[](std::size_t Item) const;
    TEmailArray ToArray() const;

    // Whether the bytes went to a scratch file (for tests and the status of a long scan).
    bool Spilled() const;

    friend bool operator==(const TFoundEmails& A, const TEmailArray& B);
    friend bool operator==(const TFoundEmails& A, const TFoundEmails& B);

    // Walks the messages in found order, each copied out as it is reached.
    class const_iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = TEmail;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = TEmail;
        const_iterator(const TFoundEmails* List, std::size_t Item) : FList(List), FItem(Item) {}
        TEmail operator*() const { return (*FList)[FItem]; }
        const_iterator& operator++() {
            ++FItem;
            return *this;
        }
        bool operator==(const const_iterator& Other) const { return FItem == Other.FItem; }
        bool operator!=(const const_iterator& Other) const { return FItem != Other.FItem; }

      private:
        const TFoundEmails* FList;
        std::size_t FItem;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

  private:
    struct TEntry {
        std::uint64_t Text = 0;   // where FullText lies in the store
        std::uint32_t FieldBlock = 0; // where From, To, Subject, Date lie, one after the other
        std::uint32_t FieldOffset = 0;
        std::uint32_t TextSize = 0;
        std::uint32_t BodySize = 0;
        std::uint32_t FieldSizes[4] = {};
        bool BodyApart = false; // Body follows FullText in the store instead of ending it
        bool ClientDeleted = false;
    };
    class TStore;

    const TEntry& Entry(std::size_t Item) const;
    const TEntry& BytesEntry(std::size_t Item) const;

    std::shared_ptr<TStore> FStore;
    TLargeVector<TEntry> FEntries; // from item FDropped on
    std::size_t FDropped = 0;      // items counted and no longer held
    TKeep FKeep = TKeep::Everything;
};
