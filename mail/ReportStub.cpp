// The report's side of the mail module where its libraries are missing: no digests, no XML.

#include "mail/Report.h"

#include <stdexcept>

std::string Sha256Hex(std::string_view) {
    return {};
}

std::string Md5Hex(std::string_view) {
    return {};
}

struct TXmlWriter::TState {};

TXmlWriter::TXmlWriter() {
    throw std::logic_error("this build does not write reports");
}

TXmlWriter::~TXmlWriter() = default;

// Never reached: no writer is ever made.
void TXmlWriter::Open(const char*) {}
void TXmlWriter::Close() {}
void TXmlWriter::Attribute(const char*, const std::string&) {}
void TXmlWriter::Element(const char*, const std::string&) {}
void TXmlWriter::Text(const std::string&) {}
std::string TXmlWriter::TakeWritten() {
    return {};
}
std::string TXmlWriter::Take() {
    return {};
}
