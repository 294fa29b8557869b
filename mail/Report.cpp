#include "mail/Report.h"

#include <libxml/xmlwriter.h>
#include <nettle/nettle-meta.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace {

std::string HexDigest(const nettle_hash& Hash, std::string_view Bytes) {
    // Sized by the hash itself, aligned for any of nettle's context types.
    std::vector<std::max_align_t> context(Hash.context_size / sizeof(std::max_align_t) + 1);
    Hash.init(context.data());
    Hash.update(context.data(), Bytes.size(), reinterpret_cast<const std::uint8_t*>(Bytes.data()));
    std::vector<std::uint8_t> digest(Hash.digest_size);
    Hash.digest(context.data(), digest.size(), digest.data());
    static constexpr char Digits[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : digest) {
        out += Digits[b >> 4];
        out += Digits[b & 15];
    }
    return out;
}

} // namespace

std::string Sha256Hex(std::string_view Bytes) {
    return HexDigest(nettle_sha256, Bytes);
}

std::string Md5Hex(std::string_view Bytes) {
    return HexDigest(nettle_md5, Bytes);
}

struct TXmlWriter::TState {
    xmlBufferPtr Buffer = nullptr;
    xmlTextWriterPtr Writer = nullptr;

    ~TState() {
        if (Writer) xmlFreeTextWriter(Writer);
        if (Buffer) xmlBufferFree(Buffer);
    }
    void Check(int Result) const {
        if (Result < 0) throw std::runtime_error("cannot write the XML report");
    }
};

TXmlWriter::TXmlWriter() : FState(std::make_unique<TState>()) {
    FState->Buffer = xmlBufferCreate();
    if (FState->Buffer) FState->Writer = xmlNewTextWriterMemory(FState->Buffer, 0);
    if (!FState->Writer) throw std::runtime_error("cannot start the XML writer");
    xmlTextWriterSetIndent(FState->Writer, 1);
    xmlTextWriterSetIndentString(FState->Writer, BAD_CAST "  ");
    FState->Check(xmlTextWriterStartDocument(FState->Writer, "1.0", "UTF-8", nullptr));
}

TXmlWriter::~TXmlWriter() = default;

void TXmlWriter::Open(const char* Name) {
    FState->Check(xmlTextWriterStartElement(FState->Writer, BAD_CAST Name));
}

void TXmlWriter::Close() {
    FState->Check(xmlTextWriterEndElement(FState->Writer));
}

void TXmlWriter::Attribute(const char* Name, const std::string& Value) {
    FState->Check(
        xmlTextWriterWriteAttribute(FState->Writer, BAD_CAST Name, BAD_CAST Value.c_str()));
}

void TXmlWriter::Element(const char* Name, const std::string& Text) {
    FState->Check(xmlTextWriterWriteElement(FState->Writer, BAD_CAST Name, BAD_CAST Text.c_str()));
}

void TXmlWriter::Text(const std::string& Text) {
    FState->Check(xmlTextWriterWriteString(FState->Writer, BAD_CAST Text.c_str()));
}

std::string TXmlWriter::TakeWritten() {
    FState->Check(xmlTextWriterFlush(FState->Writer));
    std::string out(reinterpret_cast<const char*>(xmlBufferContent(FState->Buffer)),
                    static_cast<std::size_t>(xmlBufferLength(FState->Buffer)));
    xmlBufferEmpty(FState->Buffer);
    return out;
}

std::string TXmlWriter::Take() {
    FState->Check(xmlTextWriterEndDocument(FState->Writer));
    xmlFreeTextWriter(FState->Writer);
    FState->Writer = nullptr;
    return std::string(reinterpret_cast<const char*>(xmlBufferContent(FState->Buffer)),
                       static_cast<std::size_t>(xmlBufferLength(FState->Buffer)));
}
