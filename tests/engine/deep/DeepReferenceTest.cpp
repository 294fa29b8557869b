// The deep rule against its plain line-by-line form (tests/support/ReferenceDeep.h): cuts, text
// runs, block lengths and start answers agree exactly on random bytes and on mail of every shape
// the corpus makes, mangled (CR LF and LF mixed, 8-bit and NUL bytes, long header lines, quote
// markers, runs cut off at every kind of place).

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "engine/ClientFlags.h"
#include "engine/DeepRule.h"
#include "engine/HeaderNames.h"
#include "engine/LineEnds.h"
#include "engine/emailparser.h"
#include "tests/engine/deep/DeepCorpus.h"
#include "tests/engine/deep/UnixMail.h"
#include "tests/support/ReferenceDeep.h"
#include "tests/support/ReferenceRules.h"

namespace {

const std::vector<std::string>& Pieces() {
    static const std::vector<std::string> P = {"From: A <a@example.org>",
                                               "To: b@example.net",
                                               "Subject: hello",
                                               "Date: 3 Mar 2020",
                                               "Message-ID: <x@y>",
                                               "Received: from a by b",
                                               "\tfolded on",
                                               " folded",
                                               "X-Mailer: m",
                                               "Content-Type: multipart/mixed; boundary=\"zz\"",
                                               "Content-Type: message/rfc822",
                                               "--zz",
                                               "--zz--",
                                               "--zz-- \t",
                                               "--zz- ",
                                               "Host: h",
                                               "GET / HTTP/1.1",
                                               "HTTP/1.1 200 OK",
                                               "to: lower",
                                               "Content-Disposition: form-data",
                                               "Cc:",
                                               "Name:value",
                                               "-----Original Message-----",
                                               "----- Original Message -----",
                                               "Begin forwarded message:",
                                               "From a@b Mon Jan  1 00:00:00 2001",
                                               "From nobody Tue Mar  3 10:00 +0000 2020",
                                               "",
                                               "plain prose line",
                                               "X-Long: " + std::string(300, 'v'),
                                               std::string(90, 'b'),
                                               "caf\xc3\xa9 8-bit",
                                               "Key: \x01 control",
                                               "From x",
                                               "Reply-To: r@s",
                                               "Status: RO",
                                               "X-Status: D",
                                               "x-mozilla-status:0009",
                                               "X-Spam-Status: No"};
    return P;
}

// A soup of mail-shaped lines with every kind of line end, and now and then a stray byte.
std::string Soup(std::mt19937& Rng, std::size_t Size) {
    static const char* const Ends[] = {"\r\n", "\n", "\r\n", "\n", "\r", ""};
    std::string Text;
    while (Text.size() < Size) {
        const std::size_t Piece = Rng() % Pieces().size();
        Text += Pieces()[Piece];
        const std::size_t End = Rng() % 12;
        Text += Ends[End < 6 ? End % 2 : End < 11 ? End % 4 : 4 + Rng() % 2];
        if (Rng() % 40 == 0) Text += static_cast<char>(Rng() % 256);
    }
    Text.resize(Size);
    return Text;
}

// Stored mail of the corpus's kinds, back to back, as Maildir files, mbox files or CR LF stores,
// with some bytes changed.
std::string Mail(std::mt19937& Rng, std::size_t Size) {
    std::string Text;
    while (Text.size() < Size) {
        const unsigned Seed = static_cast<unsigned>(Rng());
        switch (Rng() % 4) {
        case 0:
            Text += MakeDeepMessage(Seed, static_cast<int>(Rng() % 8));
            break;
        case 1:
            Text += MakeUnixMessage(Seed, static_cast<int>(Rng() % UnixKinds));
            break;
        case 2: {
            std::vector<std::string> Box;
            for (unsigned i = 0, n = 1 + Rng() % 3; i < n; ++i)
                Box.push_back(MakeUnixMessage(Seed + i, static_cast<int>(Rng() % UnixKinds)));
            Text += MboxFile(Box, Seed);
            break;
        }
        default:
            Text += Soup(Rng, 200 + Rng() % 2000);
            break;
        }
    }
    static const char Stray[] = {'\0', '\r', '\n', ' ', ':', '\x80', '\xff', '\x0c', '\x1b', 'F'};
    for (std::size_t i = 0, n = Rng() % 6; i < n; ++i)
        Text[Rng() % Text.size()] = Stray[Rng() % sizeof Stray];
    Text.resize(Size);
    return Text;
}

std::string Random(std::mt19937& Rng, std::size_t Size) {
    std::string Text(Size, '\0');
    for (char& c : Text)
        c = static_cast<char>(Rng() % 4 == 0 ? "\r\n: F"[Rng() % 5] : Rng() % 256);
    return Text;
}

// A cut list as offsets in the run, so that two lists over the same run compare.
std::vector<std::vector<std::size_t>> Shape(const TCutList& Cuts, std::string_view Run) {
    std::vector<std::vector<std::size_t>> Out;
    auto at = [&](std::string_view V) {
        return V.data() == nullptr ? std::size_t(-1) : std::size_t(V.data() - Run.data());
    };
    for (const TCutMessage& Cut : Cuts) {
        std::vector<std::size_t> Row = {Cut.DriveOffset, at(Cut.FullText), Cut.FullText.size(),
                                        Cut.Body.size(), Cut.Body.empty() ? 0 : at(Cut.Body)};
        for (std::string_view F : Cut.Fields) {
            Row.push_back(F.size());
            Row.push_back(F.empty() ? 0 : at(F));
        }
        Out.push_back(std::move(Row));
    }
    return Out;
}

struct TCase {
    const char* Kind;
    std::string (*Make)(std::mt19937&, std::size_t);
};
const TCase Cases[] = {{"soup", Soup}, {"mail", Mail}, {"random", Random}};

} // namespace

TEST(DeepReference, CutsAndTextRunsAgreeWithThePlainForm) {
    const TDeepRule Deep;
    std::mt19937 Rng(24);
    std::size_t Messages = 0, Settled = 0;
    for (const TCase& Case : Cases)
        for (int Round = 0; Round < 150; ++Round) {
            const std::string Text = Case.Make(Rng, 1 + Rng() % 6000);
            // Runs ending at every kind of place: whole, and cut off at random bytes.
            for (std::size_t End : {Text.size(), std::size_t(Rng() % Text.size()),
                                    std::size_t(Rng() % Text.size())}) {
                const TByteRun Run{1000 + End, std::string_view(Text).substr(0, End)};
                for (bool Opens : {false, true}) {
                    TCutList Fast, Plain;
                    Deep.ExtractCuts(Run, Fast, Opens);
                    RefDeep::Cut(Run, Plain, Opens);
                    ASSERT_EQ(Shape(Fast, Run.Bytes), Shape(Plain, Run.Bytes))
                        << Case.Kind << " round " << Round << " end " << End << " opens " << Opens;
                    Messages += Fast.size();
                    // A deleted mark the cut settled is the one the mark's own walk reads.
                    for (const TCutMessage& Cut : Fast) {
                        if (!Cut.ClientDeleted) continue;
                        ++Settled;
                        ASSERT_EQ(*Cut.ClientDeleted, IsClientDeleted(Cut.FullText))
                            << Case.Kind << " round " << Round << " at " << Cut.DriveOffset;
                    }
                }
            }
            for (std::size_t From = 0; From < Text.size(); From += 1 + Rng() % 64) {
                const std::string_view Rest = std::string_view(Text).substr(From);
                ASSERT_EQ(TDeepRule::TextRunLength(Rest), RefDeep::TextRunLength(Rest))
                    << Case.Kind << " round " << Round << " from " << From;
                const std::string_view Head = Rest.substr(0, Rng() % 200);
                ASSERT_EQ(Deep.TextPrefix(Head), RefDeep::TextRunLength(Head))
                    << Case.Kind << " round " << Round << " from " << From;
            }
        }
    EXPECT_GT(Messages, 1000u); // the mail cases do cut messages
    EXPECT_GT(Settled, 100u);   // and the cut settles many deleted marks
}

// The start test asked of every sector in turn, as a scan asks it (the rule remembers the open
// block from sector to sector), and asked of each view afresh; where the deep rule starts, its run
// measured and cut right after, as a scan does.
TEST(DeepReference, StartAnswersAgreeWithThePlainForm) {
    std::mt19937 Rng(2024);
    const TEmailParser Standard;
    std::size_t Answers[3] = {}, Carved = 0;
    for (const TCase& Case : Cases)
        for (int Round = 0; Round < 12; ++Round) {
            const std::uint32_t SectorSize = Round % 2 == 0 ? 64 : 512;
            const std::string Image = Case.Make(Rng, 40000 + Rng() % 20000);
            std::string Padded;
            const TDriveFetch Fetch = [&](std::uint64_t Offset, std::uint32_t Count) {
                Padded.assign(Image, std::min<std::size_t>(Offset, Image.size()), Count);
                Padded.resize(Count, '\0');
                return std::string_view(Padded);
            };
            TDeepRule Deep;
            for (std::size_t Offset = 0; Offset < Image.size(); Offset += SectorSize) {
                std::string View = Image.substr(Offset, SectorSize + TDeepRule::HeaderReach);
                View.resize(SectorSize + TDeepRule::HeaderReach, '\0');
                ASSERT_EQ(Deep.HeaderBlockLength(View, SectorSize),
                          RefDeep::HeaderBlockLength(View, SectorSize))
                    << Case.Kind << " round " << Round << " offset " << Offset;
                ASSERT_EQ(Deep.IsMessageStart(View, SectorSize),
                          RefDeep::IsMessageStart(View, SectorSize))
                    << Case.Kind << " round " << Round << " offset " << Offset;
                const auto Expected =
                    RefDeep::StartsAt(Image, Offset, SectorSize, [&](const std::string& Window) {
                        return Standard.IsMessageStart(Window, SectorSize);
                    });
                ++Answers[static_cast<int>(Expected)];
                if (!Deep.MayStart(static_cast<unsigned char>(Image[Offset]))) {
                    ASSERT_EQ(Expected, RefDeep::TStartAnswer::None) << Offset;
                    continue;
                }
                std::string Window = Image.substr(Offset, 2 * SectorSize);
                Window.resize(2 * SectorSize, '\0');
                const TRule* Got = Deep.StartsAt({Offset, Window}, SectorSize, Fetch);
                const auto Answer = Got == nullptr ? RefDeep::TStartAnswer::None
                                    : Got->Kind() == TCarvingRule::Deep
                                        ? RefDeep::TStartAnswer::Deep
                                        : RefDeep::TStartAnswer::Standard;
                ASSERT_EQ(Answer, Expected)
                    << Case.Kind << " round " << Round << " offset " << Offset;
                if (Answer != RefDeep::TStartAnswer::Deep) continue;
                // The run from there, measured on from what the start test saw, cut as a scan
                // cuts it right after the start test.
                const std::size_t Length = Got->MeasureRun(
                    Deep.KnownText(), 2 * SectorSize,
                    [&](std::size_t At, std::size_t Count) {
                        return std::string_view(Image).substr(std::min(Offset + At, Image.size()),
                                                              Count);
                    },
                    [](std::size_t) {});
                ASSERT_EQ(Length, RefDeep::TextRunLength(std::string_view(Image).substr(Offset)))
                    << Case.Kind << " round " << Round << " offset " << Offset;
                const TByteRun Run{Offset, std::string_view(Image).substr(Offset, Length)};
                TCutList Fast, Plain;
                Got->Carve(Run, Fast);
                RefDeep::Cut(Run, Plain, true);
                ASSERT_EQ(Shape(Fast, Run.Bytes), Shape(Plain, Run.Bytes))
                    << Case.Kind << " round " << Round << " offset " << Offset;
                ++Carved;
            }
        }
    // Each answer was met.
    EXPECT_GT(Answers[0], 100u);
    EXPECT_GT(Answers[1], 20u);
    EXPECT_GT(Answers[2], 0u);
    EXPECT_EQ(Carved, Answers[1]);
}

// A quote marker is found wherever it stands in its line, after look-alikes that hold its common
// core too, and a marker with a byte changed, or cut short at the line's end, is answered as the
// plain search answers.
TEST(DeepReference, QuoteMarkersAreFoundAtEveryPlace) {
    std::vector<std::string> Befores = {
        "", "s", "message ", "ssage essage ", "-----Original ", std::string(33, 's')};
    // Every place of the marker in the blocks of places tested at once, the last one too.
    for (std::size_t Length = 2; Length < 40; ++Length)
        Befores.push_back(std::string(Length, Length % 2 == 0 ? 's' : 'x'));
    std::size_t Refused = 0;
    for (const std::string_view Marker : RefDeep::QuoteMarkers)
        for (const std::string& Before : Befores)
            for (std::size_t After = 0; After < 20; ++After) {
                std::string Line = Before + std::string(Marker) + std::string(After, 'g') + "\r\n";
                ASSERT_TRUE(TDeepRule::IsQuoteMarker(Line)) << Line;
                std::string Changed = Line;
                Changed[Before.size() + (After * 7) % Marker.size()] ^= 0x20;
                ASSERT_EQ(TDeepRule::IsQuoteMarker(Changed), RefDeep::IsQuoteMarker(Changed))
                    << Changed;
                Refused += !RefDeep::IsQuoteMarker(Changed);
                const std::string Short = Line.substr(0, Before.size() + Marker.size() - 1);
                ASSERT_EQ(TDeepRule::IsQuoteMarker(Short), RefDeep::IsQuoteMarker(Short)) << Short;
            }
    EXPECT_GT(Refused, 500u); // the changed bytes break most markers
}

// Separator lines made of words of every shape, long addresses and runs of spaces and tabs
// among them, are answered as their plain split answers.
TEST(DeepReference, SeparatorLinesAsTheirPlainSplit) {
    // The parts of a line in order (sender, weekday, month, day, clock, year), the first of each
    // well-formed, the others look-alikes.
    const std::vector<std::vector<std::string>> Choices = {
        {"a@x.org", "MAILER-DAEMON@very.long.host.example.org", "abc@def.gh", "postmaster@x.y",
         "root@localhost.localdomain", "Mon", "From", "\x80"},
        {"Mon", "Sun", "mon", "Mond", "Mox", "Jan", "Mo"},
        {"Jan", "Dec", "JAN", "Jax", "Mon", "Ja"},
        {"3", "03", "123", "x"},
        {"10:00:00", "10:00", "1:00", "10:0x", "10:00:0", "2020"},
        {"2020", "20", "20201", "+0100", "remote"}};
    const std::vector<std::string> Gaps = {" ", "  ", "\t", " \t "};
    std::mt19937 Rng(11);
    // Every length around 64 bytes after "From ", the year last.
    for (std::size_t Length = 1; Length < 80; ++Length)
        for (const char* End : {"\n", "\r\n", ""}) {
            const std::string Line =
                "From " + std::string(Length, 'a') + " Mon Jan 3 10:00:00 2020" + End;
            ASSERT_TRUE(IsSeparatorLine(Line)) << Line;
        }
    for (int Round = 0; Round < 20000; ++Round) {
        std::string Line = Round % 8 == 0 ? "From: " : "From ";
        std::vector<std::string> Parts;
        for (const auto& Choice : Choices)
            Parts.push_back(Rng() % 3 == 0 ? Choice[Rng() % Choice.size()] : Choice[0]);
        if (Rng() % 4 == 0) Parts.insert(Parts.begin() + 5, "+0100");
        // Words after the year bring the line to every length around 64 bytes.
        if (Rng() % 3 == 0) Parts.push_back(std::string(1 + Rng() % 24, 'z'));
        for (const std::string& Part : Parts)
            Line += Part + Gaps[Rng() % 4 == 0 ? Rng() % Gaps.size() : 0];
        Line += Rng() % 2 == 0 ? "\n" : "\r\n";
        ASSERT_EQ(IsSeparatorLine(Line), RefDeep::IsSeparatorLine(Line)) << Line;
    }
}

// The bulk classing, on every path this processor can take, answers as a byte-by-byte look: line
// ends, name lengths and both rules' text runs from every place, over texts of every length (the
// last, partial word of the masks included).
TEST(DeepReference, BulkClassingAgreesByteForByte) {
    std::mt19937 Rng(7);
    TLineIndex Index;
    const std::vector<TTextRunPath> Paths = TextRunPaths();
    const std::vector<TLineMaskPath> MaskPaths = LineMaskPaths();
    std::size_t LongNames = 0;
    for (int Round = 0; Round < 300; ++Round) {
        const std::string Text =
            Round % 2 == 0 ? Random(Rng, Rng() % 300) : Soup(Rng, 1 + Rng() % 300);
        Index.Build(Text);
        const auto* Bytes = reinterpret_cast<const unsigned char*>(Text.data());
        const std::size_t Words = Text.size() / 64;
        std::vector<std::uint64_t> PathLf(Words + 1), PathStop(Words + 1), Lf(Words + 1),
            Stop(Words + 1);
        PortableLineMasks(Bytes, Words, Lf.data(), Stop.data());
        for (const TLineMaskPath& Path : MaskPaths) {
            Path.Masks(Bytes, Words, PathLf.data(), PathStop.data());
            ASSERT_EQ(PathLf, Lf) << Path.Name << " round " << Round;
            ASSERT_EQ(PathStop, Stop) << Path.Name << " round " << Round;
        }
        // The case-blind search the MIME nesting asks for "boundary=" and "message/rfc822".
        for (const std::string_view Word : {"boundary=", "b", "From ", ": ", "message/rfc822"}) {
            std::size_t Plain = std::string_view::npos;
            for (std::size_t i = 0;
                 Plain == std::string_view::npos && i + Word.size() <= Text.size(); ++i)
                if (EqualsNoCase(std::string_view(Text).substr(i, Word.size()), Word)) Plain = i;
            ASSERT_EQ(FindNoCase(Text, Word), Plain) << "round " << Round << " word " << Word;
        }
        // Both words in one pass: as the two searches, with the words planted in any case.
        for (int Plant = 0; Plant < 4; ++Plant) {
            std::string Field = Text.substr(0, Rng() % (Text.size() + 1));
            for (const std::string_view Word : {TNestingWords::Embedded, TNestingWords::Boundary}) {
                if (Rng() % 2 == 0) continue;
                std::string W(Word);
                for (char& c : W)
                    if (Rng() % 2 == 0) c = static_cast<char>(c ^ 0x20 * (std::isalpha(c) != 0));
                Field.insert(Rng() % (Field.size() + 1), W);
            }
            const TNestingWords Got = FindNestingWords(Field);
            const std::size_t Boundary = FindNoCase(Field, TNestingWords::Boundary);
            ASSERT_EQ(Got.BoundaryAt, Boundary) << Field;
            ASSERT_EQ(Got.Embeds,
                      Boundary == std::string_view::npos &&
                          FindNoCase(Field, TNestingWords::Embedded) != std::string_view::npos)
                << Field;
        }
        // Names compared case-blind a word at a time answer as LowerAscii byte by byte: bytes
        // that differ by the case bit only are equal when they are letters, not otherwise.
        for (std::size_t From = 0; From < Text.size(); From += 1 + Rng() % 5) {
            const std::string_view A = std::string_view(Text).substr(From, Rng() % 24);
            std::string B(A);
            for (char& c : B)
                if (Rng() % 3 == 0) c = static_cast<char>(c ^ 0x20);
            bool Plain = true, Capital = false;
            for (std::size_t i = 0; i < A.size(); ++i) {
                const auto a = static_cast<unsigned char>(A[i]);
                Plain = Plain && LowerAscii(a) == LowerAscii(static_cast<unsigned char>(B[i]));
                Capital = Capital || (a >= 'A' && a <= 'Z');
            }
            ASSERT_EQ(EqualsNoCase(A, B), Plain) << "round " << Round << " from " << From;
            ASSERT_EQ(HoldsCapital(A), Capital) << "round " << Round << " from " << From;
            ASSERT_EQ(FieldOfName(A), KnownFieldIndex(KnownHeaderIndex(A))) << "from " << From;
        }
        // A record's four fields are found by their names in any case, and by no other name.
        for (const std::string_view Known : KnownNames) {
            std::string Name(Known);
            for (char& c : Name)
                if (Rng() % 2 == 0)
                    c = static_cast<char>(LowerAscii(static_cast<unsigned char>(c)));
            ASSERT_EQ(FieldOfName(Name), KnownFieldIndex(KnownHeaderIndex(Name))) << Name;
            Name.back() = static_cast<char>(Name.back() ^ 0x40);
            ASSERT_EQ(FieldOfName(Name), -1) << Name;
        }
        for (std::size_t From = 0; From <= Text.size(); ++From) {
            const std::string_view Rest = std::string_view(Text).substr(From);
            ASSERT_EQ(Index.NextLf(From),
                      From == Text.size() ? std::string_view::npos : Text.find('\n', From));
            std::size_t Name = 0;
            while (Name < Rest.size() && IsNameByte(static_cast<unsigned char>(Rest[Name])))
                ++Name;
            ASSERT_EQ(Index.NameLength(From), Name) << "round " << Round << " from " << From;
            ASSERT_EQ(NameLength(Rest), Name) << "round " << Round << " from " << From;
            LongNames += Name >= 16;
            std::size_t Standard = 0;
            while (Standard < Rest.size() &&
                   RefRules::RefIsTextByte(static_cast<unsigned char>(Rest[Standard])))
                ++Standard;
            ASSERT_EQ(TEmailParser::TextRunLength(Rest), Standard) << "round " << Round;
            const std::size_t Deep = RefDeep::TextRunLength(Rest);
            ASSERT_EQ(TDeepRule::TextRunLength(Rest), Deep);
            // The paths this processor does not take are measured too.
            const auto* RestBytes = reinterpret_cast<const unsigned char*>(Rest.data());
            for (const TTextRunPath& Path : Paths) {
                ASSERT_EQ(Path.Standard(RestBytes, Rest.size()), Standard) << Path.Name;
                ASSERT_EQ(Path.Deep(RestBytes, Rest.size()), Deep) << Path.Name;
            }
        }
        // Masks made as the questions reach them, in any order, give the same answers.
        TLazyLineIndex Lazy;
        Lazy.Build(Text, 1 + Rng() % 2);
        for (int Ask = 0; Ask < 40; ++Ask) {
            const std::size_t From = Rng() % (Text.size() + 1);
            if (Rng() % 2 == 0)
                ASSERT_EQ(Lazy.NextLf(From), Index.NextLf(From)) << "round " << Round;
            else
                ASSERT_EQ(Lazy.NameLength(From), Index.NameLength(From)) << "round " << Round;
        }
        // A walk from line to line takes the LFs in order, as the masks are made: the same line
        // ends as the plain search's from each line's start.
        for (const TEnds Ends : {TEnds::Lf, TEnds::CrLf})
            for (const bool Mbox : {false, true}) {
                Lazy.Build(Text, 1 + Rng() % 2);
                const std::size_t From = Rng() % (Text.size() + 1);
                TLazyLineIndex::TLfCursor Lfs = Lazy.LfCursor(From);
                for (std::size_t p = From;;) {
                    const std::size_t Next = Lazy.NextLine(Lfs, p, Ends, Mbox);
                    ASSERT_EQ(Next, NextLine(Text, p, Ends, Mbox)) << "round " << Round;
                    if (Next == 0) break;
                    p = Next;
                }
            }
    }
    EXPECT_GT(LongNames, 100u); // names and words of sixteen bytes and more were met
}
