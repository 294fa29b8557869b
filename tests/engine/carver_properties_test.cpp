// The fast start test and the range-copying carver checked against plain, line-by-line walks
// written here from the rules, on generated and adversarial input.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/ScanHost.h"
#include "engine/emailparser.h"
#include "tests/support/ReferenceRules.h"

namespace {

using namespace RefRules;

// ---- Generators --------------------------------------------------------------------------------

class Gen {
  public:
    explicit Gen(unsigned seed) : rng(seed) {}
    std::mt19937 rng;

    std::size_t Below(std::size_t n) { return n == 0 ? 0 : rng() % n; }
    bool Chance(unsigned percent) { return rng() % 100 < percent; }

    std::string RandomCase(const std::string& s) {
        std::string r = s;
        for (char& c : r)
            if (c >= 'A' && c <= 'Z' && Chance(40)) c = static_cast<char>(c + 32);
        return r;
    }

    // Bytes without CR LF pairs; lone CR, LF, NUL and high bytes included on request.
    std::string Text(std::size_t maxLen, bool wild) {
        static const std::string plain = "abcdefghijklmnopqrstuvwxyz ABCXYZ0123456789.,;<>@-=";
        std::string s(Below(maxLen + 1), ' ');
        for (char& c : s) {
            if (wild && Chance(8)) {
                const char specials[] = {'\r', '\n', '\0', '\x80', '\xff', ':', '\t'};
                c = specials[Below(sizeof specials)];
            } else {
                c = plain[Below(plain.size())];
            }
        }
        for (std::size_t at; (at = s.find(CRLF)) != std::string::npos;)
            s[at + 1] = 'x';
        return s;
    }

    std::string KnownName() { return RandomCase(Known[Below(Known.size())]); }

    std::string OtherName() {
        static const std::vector<std::string> other = {
            "X-Mailer", "MIME-Version", "Content-Type", "X-From", "Fromage",      "Tos",
            "Dates",    "Received-SPF", "Reply",        "Subj",   "X-Original-To"};
        return other[Below(other.size())];
    }

    std::string Value() { return " " + Text(30, false); }
    std::string KnownLine() { return KnownName() + ":" + Value(); }
    std::string OtherLine() { return OtherName() + ":" + Value(); }

    // A line that is not a known header line and holds no quote marker.
    std::string PlainLine(bool allowEmpty) {
        for (;;) {
            std::string l;
            switch (Below(6)) {
            case 0: // near misses of known header lines
                l = KnownName() + (Chance(50) ? ":" : " :") + Text(10, false);
                if (Chance(30)) l = " " + l;
                if (Chance(20)) l = KnownName() + ":\t" + Text(5, false);
                break;
            case 1:
                l = (Chance(50) ? "\t" : " ") + Text(40, true); // folded continuation
                break;
            default:
                l = Text(60, true);
            }
            if (l.empty() && !allowEmpty) continue;
            const RefField f = RefParse(l + CRLF);
            if ((f.isField && RefKnown(f)) || l.find(Marker) != std::string::npos) continue;
            return l;
        }
    }
};

struct Expected {
    TEmail email;
    std::size_t start = 0;
};

// One message whose lines cut back to exactly itself when stored behind others.
Expected Message(Gen& g, bool mayLackBody) {
    Expected m;
    std::vector<std::string> header{g.KnownLine()};
    for (std::size_t n = g.Below(8); n > 0; --n) {
        switch (g.Below(4)) {
        case 0:
            header.push_back(g.KnownLine());
            break;
        case 1:
            header.push_back(g.OtherLine());
            break;
        default:
            header.push_back(g.PlainLine(false));
        }
    }
    for (const auto& l : header) {
        const RefField f = RefParse(l + CRLF);
        if (f.isField) RefStore(f, m.email);
        m.email.FullText += l + CRLF;
    }
    if (mayLackBody && g.Chance(30)) return m;
    std::string body = CRLF;
    for (std::size_t n = g.Below(10); n > 0; --n) {
        if (g.Chance(20)) { // a quoted block, closed by its empty line
            body += (g.Chance(50) ? "" : "> ") + Marker + g.Text(5, false) + CRLF;
            for (std::size_t q = 1 + g.Below(4); q > 0; --q)
                body += (g.Chance(60) ? g.KnownLine() : g.PlainLine(false)) + CRLF;
            body += CRLF;
        } else {
            body += (g.Chance(30) ? g.OtherLine() : g.PlainLine(true)) + CRLF;
        }
    }
    m.email.FullText += body;
    m.email.Body = body;
    return m;
}

struct CountingHost : TScanHost {
    std::uint64_t calls = 0;
    void KeepAlive(std::uint64_t) override { ++calls; }
};

TEST(CarverProperties, MessagesStoredBackToBackAreCutBackExactly) {
    Gen g(2024);
    CountingHost host;
    const TEmailParser parser(host);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        for (std::size_t junk = g.Below(3); junk > 0; --junk)
            text += g.PlainLine(true) + CRLF;
        std::vector<Expected> messages;
        const std::size_t count = g.Below(6);
        for (std::size_t i = 0; i < count; ++i) {
            messages.push_back(Message(g, i + 1 == count));
            messages.back().start = text.size();
            text += messages.back().email.FullText;
        }
        text += g.Text(20, true); // a fragment without CR LF
        if (!text.empty() && text.back() == '\r' && g.Chance(50)) text.pop_back();

        TEmailArray found;
        std::vector<std::size_t> starts;
        host.calls = 0;
        parser.ExtractMessages(text, found, &starts);
        ASSERT_EQ(found.size(), messages.size()) << "round " << round;
        ASSERT_EQ(starts.size(), messages.size());
        for (std::size_t i = 0; i < messages.size(); ++i) {
            ASSERT_EQ(found[i], messages[i].email) << "round " << round << " message " << i;
            ASSERT_EQ(starts[i], messages[i].start);
        }
        EXPECT_EQ(host.calls, RefLines(text).size() + 1);
    }
}

TEST(CarverProperties, AgreesWithLineByLineWalkOnAdversarialText) {
    Gen g(77);
    const TEmailParser parser;
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (std::size_t n = g.Below(30); n > 0; --n) {
            switch (g.Below(7)) {
            case 0:
                text += g.KnownLine() + CRLF;
                break;
            case 1:
                text += g.OtherLine() + CRLF;
                break;
            case 2:
                text += CRLF;
                break;
            case 3:
                text += g.Text(4, false) + Marker + g.Text(4, true) + CRLF;
                break;
            case 4:
                text += g.Text(8, true); // may glue onto the next line
                break;
            default:
                text += g.PlainLine(true) + CRLF;
            }
        }
        TEmailArray found;
        std::vector<std::size_t> starts, refStarts;
        parser.ExtractMessages(text, found, &starts);
        const TEmailArray expected = RefExtract(text, refStarts);
        ASSERT_EQ(found, expected) << "round " << round;
        ASSERT_EQ(starts, refStarts);
    }
}

TEST(CarverProperties, PublicParsePartsAgreeWithReference) {
    Gen g(5);
    for (int round = 0; round < 20000; ++round) {
        std::string line;
        switch (g.Below(3)) {
        case 0:
            line = g.KnownLine();
            break;
        case 1:
            line = g.PlainLine(true);
            break;
        default:
            line = g.Text(12, true);
        }
        if (g.Chance(90)) line += CRLF;
        const TRPCField f = TEmailParser::ParseHeaderLine(line);
        const RefField r = RefParse(line);
        ASSERT_EQ(f.IsField, r.isField ? 1 : 0) << line;
        ASSERT_EQ(f.Name, r.name);
        ASSERT_EQ(f.Value, r.value);
        ASSERT_EQ(TEmailParser::IsKnownHeader(f), RefKnown(r));
        ASSERT_EQ(TEmailParser::IsQuoteMarker(line), line.find(Marker) != std::string::npos);
    }
}

// Windows of two sectors built to stress the start test: near-miss names, line 0 ending around
// the sector boundary, blocks closing around the window's end, lone CR and LF, random bytes.
std::string StartWindow(Gen& g, std::uint32_t ss) {
    std::string w;
    switch (g.Below(4)) {
    case 0: { // line 0 whose CR falls near position ss
        std::string l0 = g.KnownLine();
        const std::size_t target = ss - 3 + g.Below(6);
        if (l0.size() < target - 1) l0.resize(target - 1, 'v');
        w = l0 + CRLF;
        break;
    }
    case 1: { // bytes from the alphabet of header lines
        const std::string alpha = "FfRrOoMmTtSsDdEe:- \r\n\r\n";
        w.resize(g.Below(64));
        for (char& c : w)
            c = alpha[g.Below(alpha.size())];
        break;
    }
    default:
        break;
    }
    const std::size_t target = 2 * ss + (g.Chance(10) ? g.Below(40) : 0) - (g.Chance(10) ? 40 : 0);
    while (w.size() < target) {
        switch (g.Below(9)) {
        case 0:
        case 1:
        case 2:
            w += g.KnownLine() + CRLF;
            break;
        case 3:
            w += g.OtherLine() + CRLF;
            break;
        case 4:
            w += CRLF;
            break;
        case 5:
            w += g.PlainLine(false) + CRLF;
            break;
        case 6: // a long filler line moves the rest towards the window's end
            w += std::string(g.Below(ss), 'f') + CRLF;
            break;
        case 7:
            w += g.Text(20, true);
            break;
        default:
            if (g.Chance(30))
                w.append(g.Below(ss), '\0');
            else
                w += g.KnownName() + (g.Chance(50) ? ":" : " : ") + CRLF;
        }
    }
    w.resize(target);
    if (g.Chance(5)) // cut just after a CR or inside a CR LF
        w.resize(w.size() - g.Below(3));
    return w;
}

TEST(CarverProperties, FastStartTestAgreesWithPlainWalk) {
    const TEmailParser parser;
    for (std::uint32_t ss : {512u, 4096u}) {
        Gen g(ss);
        int yes = 0;
        const int rounds = ss == 512 ? 60000 : 8000;
        for (int round = 0; round < rounds; ++round) {
            const std::string w = StartWindow(g, ss);
            const bool expected = RefIsMessageStart(w, ss);
            yes += expected;
            ASSERT_EQ(parser.IsMessageStart(w, ss), expected)
                << "sector size " << ss << " round " << round;
        }
        // Both answers must be well represented, or the comparison proves little.
        EXPECT_GT(yes, rounds / 20) << ss;
        EXPECT_LT(yes, rounds - rounds / 20) << ss;
    }
}

TEST(CarverProperties, StartTestOnRandomBytes) {
    const TEmailParser parser;
    Gen g(3);
    for (int round = 0; round < 5000; ++round) {
        std::string w(1024, '\0');
        for (char& c : w)
            c = static_cast<char>(g.rng());
        if (g.Chance(50)) { // a real block at the start, then noise
            const std::string block = g.KnownLine() + CRLF + g.KnownLine() + CRLF + g.KnownLine() +
                                      CRLF + (g.Chance(80) ? CRLF : "");
            w.replace(0, block.size(), block);
        }
        ASSERT_EQ(parser.IsMessageStart(w, 512), RefIsMessageStart(w, 512)) << round;
    }
}

} // namespace
