#pragma once

// What an examiner's report needs of the mail module's libraries: digests of the stored bytes
// (nettle) and an XML writer (libxml2's). Behind the same seam as the decoding: the stub build
// hashes nothing and writes no XML, where CanDecodeMail() is false.

#include <memory>
#include <string>
#include <string_view>

// Lower-case hex digests of bytes; empty where this build does not hash.
std::string Sha256Hex(std::string_view Bytes);
std::string Md5Hex(std::string_view Bytes);

// An XML 1.0 document in UTF-8, written element by element and indented by two spaces. Every
// call throws when the writer fails; the constructor throws where this build writes no XML.
class TXmlWriter {
  public:
    TXmlWriter();
    ~TXmlWriter();
    TXmlWriter(const TXmlWriter&) = delete;
    TXmlWriter& operator=(const TXmlWriter&) = delete;

    void Open(const char* Name);
    void Close();
    void Attribute(const char* Name, const std::string& Value);
    // A whole element holding only text. Text is escaped by the writer and must be valid UTF-8.
    void Element(const char* Name, const std::string& Text);
    // Text inside the element open now.
    void Text(const std::string& Text);
    // What was written since the last call (or the start), handed out and no longer held: a
    // report written as it goes keeps no more than a piece of itself in memory.
    std::string TakeWritten();
    // Ends the document and answers what of it was not taken yet.
    std::string Take();

  private:
    struct TState;
    std::unique_ptr<TState> FState;
};
