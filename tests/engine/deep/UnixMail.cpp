#include "tests/engine/deep/UnixMail.h"

#include <random>
#include <string_view>

#include "tests/engine/deep/DeepCorpus.h"

namespace {

using TRng = std::mt19937;

const char* const Words[] = {"invoice", "travel", "plans",  "shared", "folder", "weekly", "sync",
                             "minutes", "photos", "garden", "rent",   "ticket", "build",  "release",
                             "patch",   "review", "lunch",  "friday", "dinner", "notes"};
const char* const People[] = {"Ines Duarte", "Karl Weber",  "Lena Novak", "Marco Ricci",
                              "Nora Lind",   "Omar Farouk", "Petra Horn", "Raj Patel"};
const char* const Days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

template <class T, std::size_t N> const T& Pick(TRng& Rng, const T (&Items)[N]) {
    return Items[Rng() % N];
}

std::string Two(unsigned Value) {
    return (Value < 10 ? "0" : "") + std::to_string(Value);
}

std::string Person(TRng& Rng, std::string* Address = nullptr) {
    const std::string Name = Pick(Rng, People);
    std::string Local;
    for (const char c : Name.substr(0, Name.find(' ')))
        Local += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    const std::string Mail = Local + std::to_string(Rng() % 900 + 100) + "@example.net";
    if (Address != nullptr) *Address = Mail;
    return Name + " <" + Mail + ">";
}

std::string Date(TRng& Rng) {
    return std::string(Pick(Rng, Days)) + ", " + std::to_string(Rng() % 28 + 1) + " " +
           Pick(Rng, Months) + " 20" + std::to_string(Rng() % 10 + 15) + " " + Two(Rng() % 24) +
           ":" + Two(Rng() % 60) + ":" + Two(Rng() % 60) + " +0200";
}

std::string Sentence(TRng& Rng) {
    std::string Line = "We";
    const int Count = 5 + static_cast<int>(Rng() % 9);
    for (int i = 0; i < Count; ++i)
        Line += std::string(" ") + Pick(Rng, Words);
    return Line + ".";
}

std::string MessageId(TRng& Rng) {
    return "<" + std::to_string(Rng()) + "." + std::to_string(Rng() % 100000) +
           "@mail.example.net>";
}

void Add(std::string& Text, std::string_view Line) {
    Text.append(Line);
    Text.push_back('\n');
}

void Prose(TRng& Rng, std::string& Text, int Paragraphs) {
    for (int p = 0; p < Paragraphs; ++p) {
        for (unsigned l = 0; l < 1 + Rng() % 4; ++l)
            Add(Text, Sentence(Rng));
        Add(Text, "");
    }
}

// A whole message as an MTA delivers it: Return-Path, Received, the usual fields.
std::string Inner(TRng& Rng, const std::string& Extra = "") {
    std::string Text;
    Add(Text, "Return-Path: <" + std::to_string(Rng() % 1000) + "@lists.example.com>");
    Add(Text, "Received: from smtp.example.com (smtp.example.com [198.51.100." +
                  std::to_string(Rng() % 250) + "])");
    Add(Text, "\tby mx.example.net (Postfix) with ESMTPS id " + std::to_string(Rng()));
    Add(Text, "\tfor <inbox@example.net>; " + Date(Rng));
    Add(Text, "Message-ID: " + MessageId(Rng));
    Add(Text, "Date: " + Date(Rng));
    Add(Text, "From: " + Person(Rng));
    Add(Text, "To: " + Person(Rng));
    Add(Text, "Subject: " + Sentence(Rng));
    Text += Extra;
    Add(Text, "");
    Prose(Rng, Text, 1 + static_cast<int>(Rng() % 3));
    return Text;
}

std::string ToLf(const std::string& Text) {
    std::string Out;
    Out.reserve(Text.size());
    for (std::size_t i = 0; i < Text.size(); ++i)
        if (!(Text[i] == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n')) Out += Text[i];
    return Out;
}

} // namespace

const char* UnixKindName(int Kind) {
    static const char* const Names[] = {
        "received chain", "quoted reply", "quoted forward", "text digest",
        "forward thread", "bottom quote", "two quotes",     "8-bit quotes",
        "rfc822 part",    "mime digest",  "bounce",         "minimal",
        "id and type",    "draft",        "encapsulated",   "from lines"};
    return Kind >= 0 && Kind < UnixKinds ? Names[Kind] : "?";
}

std::string MakeUnixMessage(unsigned Seed, int Kind) {
    if (Kind < DeepMessageKinds) return ToLf(MakeDeepMessage(Seed, Kind));
    TRng Rng(Seed * 7919u + static_cast<unsigned>(Kind));
    std::string Text;
    const std::string Boundary = "=_part_" + std::to_string(Rng());
    switch (Kind) {
    case ForwardAttached:
    case MimeDigest:
    case Bounce: {
        Add(Text, "Return-Path: <" + std::to_string(Rng() % 1000) + "@example.net>");
        Add(Text, "Delivered-To: inbox@example.net");
        Add(Text, "Message-ID: " + MessageId(Rng));
        Add(Text, "Date: " + Date(Rng));
        Add(Text, std::string("From: ") + (Kind == Bounce
                                               ? "Mail Delivery System <MAILER-DAEMON@example.net>"
                                               : Person(Rng)));
        Add(Text, "To: " + Person(Rng));
        Add(Text, std::string("Subject: ") +
                      (Kind == ForwardAttached ? "Fwd: "
                       : Kind == MimeDigest    ? "Digest: "
                                               : "Undelivered: ") +
                      Sentence(Rng));
        Add(Text, "MIME-Version: 1.0");
        const char* Type = Kind == ForwardAttached ? "multipart/mixed"
                           : Kind == MimeDigest    ? "multipart/digest"
                                                : "multipart/report; report-type=delivery-status";
        Add(Text, std::string("Content-Type: ") + Type + ";");
        Add(Text, "\tboundary=\"" + Boundary + "\"");
        Add(Text, "");
        Add(Text, "This is a multi-part message in MIME format.");
        Add(Text, "--" + Boundary);
        Add(Text, "Content-Type: text/plain; charset=utf-8");
        Add(Text, "");
        Prose(Rng, Text, 1);
        const int Parts = Kind == MimeDigest ? 3 : 1;
        for (int i = 0; i < Parts; ++i) {
            Add(Text, "--" + Boundary);
            if (Kind != MimeDigest) Add(Text, "Content-Type: message/rfc822");
            if (Kind == ForwardAttached) Add(Text, "Content-Disposition: attachment");
            Add(Text, "");
            // A nested multipart in the attached message: its end is not the outer one's.
            const std::string InnerBoundary = "=_inner_" + std::to_string(Rng());
            if (i == 0 && Kind == ForwardAttached) {
                std::string Nested = Inner(Rng, "MIME-Version: 1.0\nContent-Type: "
                                                "multipart/alternative; boundary=" +
                                                    InnerBoundary + "\n");
                Nested += "--" + InnerBoundary + "\nContent-Type: text/plain\n\n";
                Prose(Rng, Nested, 1);
                Nested += "--" + InnerBoundary + "--\n\n";
                Text += Nested;
            } else {
                Text += Inner(Rng);
            }
        }
        Add(Text, "--" + Boundary + "--");
        Add(Text, "");
        break;
    }
    case Minimal:
        Add(Text, "From: " + Person(Rng));
        Add(Text, "Subject: " + Sentence(Rng));
        Add(Text, "MIME-Version: 1.0");
        Add(Text, "");
        Prose(Rng, Text, 2);
        break;
    case IdAndType:
        Add(Text, "Message-ID: " + MessageId(Rng));
        Add(Text, "Content-Type: text/plain; charset=us-ascii;");
        Add(Text, "\tformat=flowed");
        Add(Text, "");
        Prose(Rng, Text, 2);
        break;
    case Draft:
        Add(Text, "X-Mozilla-Status: 0001");
        Add(Text, "X-Mozilla-Draft-Info: internal/draft; vcard=0; receipt=0; DSN=0");
        Add(Text, "From: " + Person(Rng));
        Add(Text, "X-Identity-Key: id" + std::to_string(Rng() % 9 + 1));
        Add(Text, "");
        Prose(Rng, Text, 1);
        break;
    case Encapsulated:
        Add(Text, "Message-ID: " + MessageId(Rng));
        Add(Text, "Date: " + Date(Rng));
        Add(Text, "From: " + Person(Rng));
        Add(Text, "To: " + Person(Rng));
        Add(Text, "Subject: Returned: " + Sentence(Rng));
        Add(Text, "MIME-Version: 1.0");
        Add(Text, "Content-Type: message/rfc822");
        Add(Text, "");
        Text += Inner(Rng);
        break;
    default: { // FromLines
        Text = Inner(Rng);
        Add(Text, ">From the notes of " + std::string(Pick(Rng, Days)) + ":");
        Add(Text, Sentence(Rng));
        Add(Text, ">From " + Person(Rng) + " " + Pick(Rng, Days) + " " + Pick(Rng, Months) +
                      " 3 10:00:00 2021");
        Add(Text, "");
        Add(Text, "From here on all of it is " + Sentence(Rng));
        Add(Text, "");
        break;
    }
    }
    return Text;
}

std::string MboxSeparator(unsigned Seed) {
    TRng Rng(Seed);
    std::string Address;
    Person(Rng, &Address);
    const unsigned Day = Rng() % 28 + 1;
    return "From " + Address + " " + Pick(Rng, Days) + " " + Pick(Rng, Months) + " " +
           (Day < 10 ? " " : "") + std::to_string(Day) + " " + Two(Rng() % 24) + ":" +
           Two(Rng() % 60) + ":" + Two(Rng() % 60) + " 20" + std::to_string(Rng() % 10 + 15) + "\n";
}

std::string MboxFile(const std::vector<std::string>& Messages, unsigned Seed) {
    std::string File;
    for (std::size_t i = 0; i < Messages.size(); ++i) {
        File += MboxSeparator(Seed + static_cast<unsigned>(i));
        File += Messages[i];
        File += "\n";
    }
    return File;
}

namespace {

std::string Http(TRng& Rng, const char* End, bool Request) {
    std::string T;
    auto add = [&](const std::string& Line) { T += Line + End; };
    if (Request) {
        add(std::string(Rng() % 2 ? "GET" : "POST") + " /api/v1/" + Pick(Rng, Words) +
            "?id=" + std::to_string(Rng() % 999) + " HTTP/1.1");
        add("Host: www.example.com");
        add("User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0");
        add("Accept: text/html,application/xhtml+xml");
        if (Rng() % 2) add("From: crawler" + std::to_string(Rng() % 9) + "@example.com");
        add("Date: " + Date(Rng));
        add("Cookie: session=" + std::to_string(Rng()));
        add("Connection: keep-alive");
    } else {
        add("HTTP/1.1 200 OK");
        add("Date: " + Date(Rng));
        add("Server: nginx/1.22.1");
        add("Content-Type: text/html; charset=utf-8");
        add("Content-Length: " + std::to_string(Rng() % 90000));
        if (Rng() % 2) add("Set-Cookie: id=" + std::to_string(Rng()) + "; Path=/");
        add("Cache-Control: no-cache");
    }
    add("");
    add("<html><body><p>" + Sentence(Rng) + "</p></body></html>");
    return T;
}

std::string Form(TRng& Rng, const char* End) {
    std::string T;
    auto add = [&](const std::string& Line) { T += Line + End; };
    const std::string B = "----WebKitFormBoundary" + std::to_string(Rng());
    for (const char* Field : {"from", "to", "subject", "date"}) {
        add("--" + B);
        add(std::string("Content-Disposition: form-data; name=\"") + Field + "\"");
        if (Rng() % 2) add("Date: " + Date(Rng));
        add("");
        add(Person(Rng));
    }
    add("--" + B + "--");
    return T;
}

std::string Config(TRng& Rng, const char* End) {
    std::string T;
    auto add = [&](const std::string& Line) { T += Line + End; };
    std::string Address;
    Person(Rng, &Address);
    if (Rng() % 2) {
        add("from: " + Address);
        add("to: alerts@example.com");
        add("subject: nightly " + std::string(Pick(Rng, Words)) + " report");
        add("date: " + Date(Rng));
        add("");
        add("smtp:");
        add("  host: mail.example.com");
        add("  port: 587");
    } else {
        add("[mail]");
        add("from: " + Address);
        add("subject: " + Sentence(Rng));
        add("");
        add("[server]");
        add("host = 127.0.0.1");
    }
    return T;
}

std::string Source(TRng& Rng, const char* End) {
    std::string T;
    auto add = [&](const std::string& Line) { T += Line + End; };
    add("/*");
    add(" * From: " + Person(Rng));
    add(" * Date: " + Date(Rng));
    add(" * Subject: " + Sentence(Rng));
    add(" */");
    add("# From: " + Person(Rng));
    add("// Date: " + Date(Rng));
    add("static const char* from = \"" + Person(Rng) + "\";");
    add("");
    return T;
}

std::string Table(TRng& Rng, const char* End) {
    std::string T;
    auto add = [&](const std::string& Line) { T += Line + End; };
    if (Rng() % 2) {
        add("from,to,subject,date");
        for (int i = 0; i < 4; ++i)
            add(Person(Rng) + "," + Person(Rng) + "," + Sentence(Rng) + "," + Date(Rng));
    } else {
        add("{\"from\": \"" + Person(Rng) + "\",");
        add("\"date\": \"" + Date(Rng) + "\",");
        add("\"subject\": \"" + Sentence(Rng) + "\",");
        add("\"message-id\": \"" + MessageId(Rng) + "\"}");
        add("");
    }
    return T;
}

} // namespace

std::string LookAlikeImage(unsigned Seed, std::size_t Count, std::size_t SectorSize) {
    TRng Rng(Seed);
    std::string Image(SectorSize, '\0');
    for (std::size_t i = 0; i < Count; ++i) {
        const char* End = Rng() % 2 ? "\n" : "\r\n";
        std::string Block;
        switch (Rng() % 6) {
        case 0:
            Block = Http(Rng, End, true);
            break;
        case 1:
            Block = Http(Rng, End, false);
            break;
        case 2:
            Block = Form(Rng, End);
            break;
        case 3:
            Block = Config(Rng, End);
            break;
        case 4:
            Block = Source(Rng, End);
            break;
        default:
            Block = Table(Rng, End);
            break;
        }
        // Now and then the block's first line closes the sector before, so that a sector starts
        // at its second line; else the block starts a sector.
        const std::size_t FirstEnd = Block.find('\n') + 1;
        std::size_t Lead = 0;
        if (Rng() % 3 == 0 && FirstEnd < SectorSize) Lead = FirstEnd;
        Image.resize(Image.size() + SectorSize - Lead, '\0');
        Image += Block;
        Image.resize((Image.size() + SectorSize) / SectorSize * SectorSize, '\0');
    }
    Image.append(SectorSize, '\0');
    return Image;
}
