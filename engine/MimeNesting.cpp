#include "engine/MimeNesting.h"

#include "engine/HeaderNames.h"

using namespace std::string_view_literals;

void TEnclosures::Clear() {
    FBoundaryBytes.clear();
    FBoundaryEnds.clear();
    FEmbedded = false;
    FField.clear();
    FFirstLine = {};
    FFolded = false;
    FCollecting = false;
}

// A folded line of the field being collected: the field is put together from its lines.
void TEnclosures::Fold(std::string_view Line) {
    if (!FFolded) {
        FField.assign(FFirstLine);
        FFolded = true;
    }
    if (FField.size() < 4096) FField.append(Line.substr(0, Line.size() - EndLength(Line)));
}

void TEnclosures::Collect(std::string_view Line, std::size_t NameSize) {
    // Most fields stand on one line: those are read where they stand, in the run.
    FCollecting = true;
    FFolded = false;
    FFirstLine = Line.substr(NameSize + 1, Line.size() - EndLength(Line) - NameSize - 1);
}

// "--boundary--" closes the multipart of that boundary and every one opened inside it.
void TEnclosures::CloseDelimiter(std::string_view Line) {
    std::string_view closing = Line.substr(2, Line.size() - 2 - EndLength(Line));
    while (!closing.empty() && (closing.back() == ' ' || closing.back() == '\t'))
        closing.remove_suffix(1);
    if (closing.size() < 2 || closing.substr(closing.size() - 2) != "--"sv) return;
    closing.remove_suffix(2);
    for (std::size_t i = FBoundaryEnds.size(); i-- > 0;)
        if (Boundary(i) == closing) {
            FBoundaryBytes.resize(BoundaryStart(i));
            FBoundaryEnds.resize(i);
            break;
        }
}

// The Content-Type field collected: a multipart's boundary opens one, message/rfc822 another.
void TEnclosures::Take() {
    FCollecting = false;
    const std::string_view field = FFolded ? std::string_view(FField) : FFirstLine;
    const TNestingWords words = FindNestingWords(field);
    if (words.BoundaryAt != std::string_view::npos) {
        std::string_view rest = field.substr(words.BoundaryAt + TNestingWords::Boundary.size());
        std::size_t length = 0;
        if (!rest.empty() && rest[0] == '"') {
            rest.remove_prefix(1);
            length = rest.find('"');
            if (length == std::string_view::npos) length = 0;
        } else {
            while (length < rest.size() && rest[length] != ';' && rest[length] != ' ' &&
                   rest[length] != '\t' && rest[length] != '\r' && rest[length] != '\n')
                ++length;
        }
        if (length > 0 && FBoundaryEnds.size() < 64) {
            FBoundaryBytes.append(rest.substr(0, length));
            FBoundaryEnds.push_back(FBoundaryBytes.size());
        }
    } else if (words.Embeds) {
        FEmbedded = true;
    }
}
