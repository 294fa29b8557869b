#include "tests/engine/deep/DeepCorpus.h"

#include <algorithm>
#include <random>
#include <set>
#include <string_view>

namespace {

using TRng = std::mt19937;

const char* const Words[] = {
    "the",     "meeting", "report",   "budget",  "draft",  "review", "please",  "attached",
    "quarter", "numbers", "tomorrow", "agenda",  "thanks", "update", "project", "schedule",
    "team",    "notes",   "client",   "call",    "before", "after",  "we",      "should",
    "could",   "send",    "final",    "version", "list",   "server", "backup",  "weekend"};
const char* const Names[] = {"Alice Martin", "Bob Okafor",    "Chen Wei",   "Dana Kowalski",
                             "Emil Larsen",  "Fatima Haddad", "Gus Moreau", "Hana Sato"};
const char* const Days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// 8-bit text: UTF-8, Latin-1 and an ISO-2022-JP line (escape sequences around JIS bytes).
const char* const EightBit[] = {
    "Gr\xC3\xBC\xC3\x9F"
    "e aus K\xC3\xB6ln \xE2\x80\x94 na\xC3\xAFve caf\xC3\xA9 \xE2\x82\xAC"
    "42",
    "Ol\xE1, obrigado pela reuni\xE3o de ter\xE7"
    "a-feira \xB7 at\xE9 logo",
    "\x1B$B$3$s$K$A$O\x1B(B konnichiwa \x1B$B@$3&\x1B(B",
    "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80 (privet)",
    "\xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBC\x8C\xE4\xB8\x96\xE7\x95\x8C ni hao"};

template <class T, std::size_t N> const T& Pick(TRng& Rng, const T (&Items)[N]) {
    return Items[Rng() % N];
}

std::string Address(TRng& Rng) {
    std::string Name = Pick(Rng, Names);
    std::string Local = Name.substr(0, Name.find(' '));
    std::transform(Local.begin(), Local.end(), Local.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return Name + " <" + Local + std::to_string(Rng() % 90 + 10) + "@example.org>";
}

std::string DateText(TRng& Rng) {
    return std::string(Pick(Rng, Days)) + ", " + std::to_string(Rng() % 28 + 1) + " " +
           Pick(Rng, Months) + " 20" + std::to_string(Rng() % 10 + 15) + " " +
           std::to_string(Rng() % 14 + 8) + ":" + std::to_string(Rng() % 50 + 10) + ":" +
           std::to_string(Rng() % 50 + 10) + " +0100";
}

// A line of prose: words with spaces, so never a header line.
std::string Prose(TRng& Rng) {
    std::string Line = "The";
    const int Count = 6 + static_cast<int>(Rng() % 8);
    for (int i = 0; i < Count; ++i)
        Line += std::string(" ") + Pick(Rng, Words);
    return Line + ".";
}

void Add(std::string& Text, std::string_view Line) {
    Text.append(Line);
    Text.append("\r\n");
}

void Paragraphs(TRng& Rng, std::string& Body, int Count, bool EightBitText) {
    for (int p = 0; p < Count; ++p) {
        const int Lines = 1 + static_cast<int>(Rng() % 4);
        for (int l = 0; l < Lines; ++l)
            Add(Body, EightBitText && Rng() % 2 ? Pick(Rng, EightBit) : Prose(Rng));
        Add(Body, "");
    }
}

// The header block: an opening line of several kinds, a Received chain of 20 folded lines,
// a folded signature and the usual fields.
std::string Headers(TRng& Rng, int Kind, const std::string& From, const std::string& To,
                    const std::string& Subject, bool EightBitBody) {
    std::string H;
    switch (Kind % 4) {
    case 0:
        Add(H, "Delivered-To: " + To.substr(To.find('<') + 1, To.find('>') - To.find('<') - 1));
        break;
    case 1:
        Add(H, "MIME-Version: 1.0");
        break;
    case 2:
        Add(H, "X-Spam-Status: No, score=-2.6 required=5.0 tests=BAYES_00,DKIM_SIGNED");
        Add(H, "X-Spam-Level: ");
        break;
    default:
        break;
    }
    Add(H, "Return-Path: <bounce-" + std::to_string(Rng() % 100000) + "@lists.example.net>");
    for (int i = 0; i < 20; ++i) {
        const std::string Hop = std::to_string(i + 1);
        Add(H, "Received: from mx" + Hop + ".relay.example.net (mx" + Hop +
                   ".relay.example.net [192.0.2." + std::to_string(Rng() % 250 + 1) + "])");
        Add(H, "\tby mx" + std::to_string(i + 2) + ".example.org (Postfix) with ESMTPS id " +
                   std::to_string(Rng() % 1000000) + "A" + Hop);
        Add(H, "\tfor <inbox@example.org>; " + DateText(Rng));
    }
    Add(H, "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.net; s=mail;");
    Add(H, "\tbh=" + std::to_string(Rng()) + "Qx7vZ9aP0mD3kLr8yTqW1eN5bH2cJ6fG4sU=;");
    Add(H, "\tb=" + std::to_string(Rng()) + "kR2pWm9ZqT3xLv7nB5cY1dH8jF4gS6aE0uI=");
    Add(H, "Message-ID: <" + std::to_string(Rng()) + "." + std::to_string(Rng() % 1000) +
               "@mail.example.net>");
    Add(H, "Date: " + DateText(Rng));
    Add(H, "From: " + From);
    Add(H, "To: " + To);
    if (Rng() % 3 == 0) Add(H, "Cc:");
    Add(H, "Subject: " + Subject);
    if (Kind % 4 != 1) Add(H, "MIME-Version: 1.0");
    Add(H, std::string("Content-Type: text/plain; charset=") +
               (EightBitBody ? "utf-8" : "us-ascii") + "; format=flowed");
    Add(H, std::string("Content-Transfer-Encoding: ") + (EightBitBody ? "8bit" : "7bit"));
    Add(H, "X-Mailer: Parcel Mail 4." + std::to_string(Rng() % 9));
    Add(H, "");
    return H;
}

// A quoted reply or forward in one of the mailers' styles; the quoted header lines must not
// start a message.
void Quoted(TRng& Rng, std::string& Body, int Style) {
    const std::string From = Address(Rng), To = Address(Rng), When = DateText(Rng);
    switch (Style % 5) {
    case 0: // Outlook
        Add(Body, "-----Original Message-----");
        Add(Body, "From: " + From);
        Add(Body, "Sent: Monday, March 2, 2020 10:14 AM");
        Add(Body, "To: " + To);
        Add(Body, "Cc: " + Address(Rng));
        Add(Body, "Subject: RE: " + Prose(Rng));
        break;
    case 1: // Thunderbird reply
        Add(Body, "-------- Original Message --------");
        Add(Body, "Subject: Re: " + Prose(Rng));
        Add(Body, "Date: " + When);
        Add(Body, "From: " + From);
        Add(Body, "To: " + To);
        break;
    case 2: // Apple Mail forward: an empty line right after the marker
        Add(Body, "Begin forwarded message:");
        Add(Body, "");
        Add(Body, "From: " + From);
        Add(Body, "Subject: " + Prose(Rng));
        Add(Body, "Date: " + When);
        Add(Body, "To: " + To);
        break;
    case 3: // Gmail forward
        Add(Body, "---------- Forwarded message ---------");
        Add(Body, "From: " + From);
        Add(Body, "Date: " + When);
        Add(Body, "Subject: " + Prose(Rng));
        Add(Body, "To: " + To);
        break;
    default: // Thunderbird forward
        Add(Body, "-------- Forwarded Message --------");
        Add(Body, "Subject: " + Prose(Rng));
        Add(Body, "Date: " + When);
        Add(Body, "From: " + From);
        Add(Body, "To: " + To);
        break;
    }
    Add(Body, "");
    Paragraphs(Rng, Body, 2, false);
}

// A digest: entries open with Date and From lines, and lone header-like lines stand in the text.
void Digest(TRng& Rng, std::string& Body) {
    Add(Body, "Today's Topics:");
    Add(Body, "");
    for (int e = 1; e <= 4; ++e)
        Add(Body, "   " + std::to_string(e) + ". " + Prose(Rng));
    Add(Body, "");
    for (int e = 1; e <= 4; ++e) {
        Add(Body, "----------------------------------------------------------------------");
        Add(Body, "");
        Add(Body, "Message: " + std::to_string(e));
        Add(Body, "Date: " + DateText(Rng));
        Add(Body, "From: " + Address(Rng));
        Add(Body, "");
        Paragraphs(Rng, Body, 1 + static_cast<int>(Rng() % 2), false);
        Add(Body, "Date: " + DateText(Rng) + " works for me");
        Add(Body, "Note: the call moves to room 4");
        Add(Body, "");
    }
}

// Binary noise that never holds a CR LF pair, so it cannot look like lines of text.
std::string Noise(TRng& Rng, std::size_t Size) {
    std::string Bytes(Size, '\0');
    for (char& c : Bytes) {
        c = static_cast<char>(Rng());
        if (c == '\n') c = '\x07';
    }
    return Bytes;
}

} // namespace

std::string MakeDeepMessage(unsigned Seed, int Kind) {
    TRng Rng(Seed * 7919u + static_cast<unsigned>(Kind));
    const std::string From = Address(Rng), To = Address(Rng);
    const bool EightBitBody = Kind != 3;
    std::string Body;
    Add(Body, "Hello " + To.substr(0, To.find(' ')) + ",");
    Add(Body, "");
    switch (Kind) {
    case 0: // 8-bit text throughout, a form feed and a lone Date line
        Paragraphs(Rng, Body, 3, true);
        Add(Body, "\x0C");
        Add(Body, "Date: moved to Friday");
        Paragraphs(Rng, Body, 1, true);
        break;
    case 1: // Outlook reply
    case 2: // Thunderbird reply
    case 4: // Apple forward
    case 5: // Gmail forward
    case 6: // Thunderbird forward
        Paragraphs(Rng, Body, 1 + static_cast<int>(Rng() % 3), true);
        Quoted(Rng, Body, Kind == 1 ? 0 : Kind == 2 ? 1 : Kind - 2);
        break;
    case 3: // digest
        Digest(Rng, Body);
        break;
    default: // ISO-2022 and Latin-1 lines with an Outlook-quoted thread below
        Paragraphs(Rng, Body, 2, true);
        Quoted(Rng, Body, 0);
        Quoted(Rng, Body, 1);
        break;
    }
    Add(Body, "-- ");
    Add(Body, From.substr(0, From.find(" <")));
    const std::string Subject =
        (Kind == 3 ? std::string("Team-list Digest, Vol 12, Issue ") + std::to_string(Rng() % 90)
                   : Prose(Rng));
    return Headers(Rng, Kind, From, To, Subject, EightBitBody) + Body;
}

TDeepCorpus MakeDeepCorpus(unsigned Seed, std::size_t Count, std::size_t SectorSize) {
    TRng Rng(Seed);
    TDeepCorpus Corpus;
    Corpus.Image.assign(SectorSize, '\0');
    for (std::size_t i = 0; i < Count; ++i) {
        // Between messages: nothing, zeros or noise, a few sectors of it.
        const std::size_t Gap = Rng() % 4;
        for (std::size_t g = 0; g < Gap; ++g)
            Corpus.Image += Rng() % 2 ? Noise(Rng, SectorSize) : std::string(SectorSize, '\0');
        // A file's slack after its end holds zeros; one that ends on a sector boundary is
        // followed by a zero byte all the same (the next sector is not its text).
        std::string Message = MakeDeepMessage(Seed + static_cast<unsigned>(i),
                                              static_cast<int>(i % DeepMessageKinds));
        Corpus.Offsets.push_back(Corpus.Image.size());
        Corpus.Image += Message;
        Corpus.Image.push_back('\0');
        Corpus.Image.resize((Corpus.Image.size() + SectorSize - 1) / SectorSize * SectorSize, '\0');
        Corpus.Messages.push_back(std::move(Message));
    }
    Corpus.Image.append(SectorSize, '\0');
    return Corpus;
}

TDeepTally TallyFound(const TDeepCorpus& Corpus, const std::vector<std::string>& FoundTexts) {
    TDeepTally Tally;
    const std::set<std::string> Planted(Corpus.Messages.begin(), Corpus.Messages.end());
    std::set<std::string> Seen;
    for (const std::string& Text : FoundTexts) {
        if (Planted.count(Text) != 0)
            Seen.insert(Text);
        else
            ++Tally.Invented;
    }
    for (const std::string& Message : Corpus.Messages)
        Tally.Whole += Seen.count(Message);
    return Tally;
}
