#pragma once

// MIME nesting as the deep rule follows it through a message: which parts of the message hold
// other messages, so that header blocks inside them are taken as the message's own.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/HeaderNames.h"
#include "engine/LineShape.h"

// The parts of a message that hold other messages: the multipart bodies whose closing delimiter
// has not come yet, and a message/rfc822 part whose header block is still to come.
class TEnclosures {
  public:
    static constexpr std::string_view ContentType = "Content-Type";

    // Keeps the storage, so that a scan cutting one message after another allocates nothing here.
    void Clear();
    // While one is open, a header block in the body belongs to the message.
    bool Open() const { return !FBoundaryEnds.empty() || FEmbedded; }
    // A header block of the body begins: the embedded message's, when one was announced.
    void BlockBegins() { FEmbedded = false; }

    // Every line of the message: Content-Type fields (folded ones too) of the message and of its
    // parts open enclosures, closing delimiters close them. The lines are views of one text,
    // which outlives them until Clear.
    void Line(std::string_view Line, const TLineShape& Shape) {
        // Most lines are none of these, in a multipart's body too: no call for them. The line
        // after a field ends its collecting, without a call unless it folds the field.
        if (FCollecting) {
            if (Line[0] == ' ' || Line[0] == '\t') {
                Fold(Line);
                return;
            }
            Take();
        }
        if (MayNameContentType(Shape.Name) && EqualsNoCase(Shape.Name, ContentType))
            Collect(Line, Shape.Name.size());
        else if (!FBoundaryEnds.empty() && MayCloseDelimiter(Line))
            CloseDelimiter(Line);
    }
    // The header block closed: its Content-Type field is complete.
    void HeaderEnds() {
        if (FCollecting) Take();
    }

  private:
    // By its length and two letters, any case: MIME-Version and the other names as long as it stay
    // out of the call.
    static bool MayNameContentType(std::string_view Name) {
        return Name.size() == ContentType.size() && (Name[0] | 0x20) == 'c' &&
               (Name[8] | 0x20) == 't';
    }
    // "--" first and, before the line end and any blanks, "-" last: the delimiters that open
    // each part stay out of the call.
    static bool MayCloseDelimiter(std::string_view Line) {
        if (Line.size() <= 4 || Line[0] != '-' || Line[1] != '-') return false;
        const char last = Line[Line.size() - EndLength(Line) - 1];
        return last == '-' || last == ' ' || last == '\t';
    }
    void Fold(std::string_view Line);
    // The field of the line whose name is NameSize bytes long.
    void Collect(std::string_view Line, std::size_t NameSize);
    void Take();
    void CloseDelimiter(std::string_view Line);

    std::size_t BoundaryStart(std::size_t I) const { return I == 0 ? 0 : FBoundaryEnds[I - 1]; }
    std::string_view Boundary(std::size_t I) const {
        return std::string_view(FBoundaryBytes)
            .substr(BoundaryStart(I), FBoundaryEnds[I] - BoundaryStart(I));
    }

    // The open multiparts' boundaries, innermost last, one after another in one string.
    std::string FBoundaryBytes;
    std::vector<std::size_t> FBoundaryEnds;
    bool FEmbedded = false;
    bool FCollecting = false;
    // The Content-Type field being collected: its first line's part, a view of the text being
    // cut, and once folded lines follow, all its lines put together in FField.
    std::string_view FFirstLine;
    bool FFolded = false;
    std::string FField;
};
