// The mail module where its libraries are missing (the Windows programs): the same interface,
// decoding nothing. Callers ask CanDecodeMail() and show the stored text instead.

#include "mail/DecodedMessage.h"

bool CanDecodeMail() {
    return false;
}

TDecodedMessage DecodeMessage(std::string_view) {
    return {};
}

std::string AttachmentBytes(std::string_view, std::size_t) {
    return {};
}

std::string IsoUtc(std::int64_t) {
    return {};
}

bool DecodedContains(const TDecodedMessage&, std::string_view) {
    return false;
}
