// Writes a disk image for the whole-scan benchmark.
//
//   make_bench_image OUT SIZE_MIB KIND
//
// KIND "mixed": 1 MiB blocks in turn of zeros, random bytes, CR LF text without headers, LF text,
// and random bytes with messages stored at sector starts. "text": CR LF text only, no message.
// "mail": a message at the start of every 64 KiB, random bytes between. "headers": header lines of
// 64 bytes and no empty line anywhere, so every sector opens like a header block that never
// closes (the deep rule's worst case). "dense": mail and nothing else, a message every sector or
// two, as a mail server's disk or a large archive holds it: 1 MiB blocks of CR LF .eml files at
// sector starts, LF Maildir files at sector starts, or an LF mbox file; MIME multipart messages
// with quoted-printable and base64 parts, UTF-8 encoded words and 8-bit bodies among plain ones.
// The content is the same for the same arguments.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t BlockBytes = 1 << 20;

struct TRandom {
    std::uint64_t State = 0x9E3779B97F4A7C15ull;
    std::uint64_t Next() {
        State ^= State << 13;
        State ^= State >> 7;
        State ^= State << 17;
        return State;
    }
};

void FillRandom(std::string& Block, TRandom& Rng) {
    for (std::size_t i = 0; i + 8 <= Block.size(); i += 8) {
        const std::uint64_t v = Rng.Next();
        for (int b = 0; b < 8; ++b)
            Block[i + b] = static_cast<char>(v >> (8 * b));
    }
}

const char* const Words[] = {"the",    "drive",  "sector", "report",   "quarterly", "figures",
                              "moved",  "to",     "page",   "meeting",  "notes",     "and",
                              "budget", "review", "of",     "shipping", "schedule",  "for",
                              "March",  "with",   "totals", "pending",  "approval",  "items"};

void FillText(std::string& Block, TRandom& Rng, const char* LineEnd) {
    std::size_t i = 0;
    std::string line;
    while (i < Block.size()) {
        line.clear();
        const std::size_t words = 6 + Rng.Next() % 10;
        for (std::size_t w = 0; w < words; ++w) {
            if (w)
                line += ' ';
            line += Words[Rng.Next() % (sizeof Words / sizeof Words[0])];
        }
        line += LineEnd;
        for (char c : line) {
            if (i == Block.size())
                break;
            Block[i++] = c;
        }
    }
}

std::string Message(std::uint64_t N) {
    std::string m = "Return-Path: <sender" + std::to_string(N) +
                    "@example.org>\r\n"
                    "From: Sender " +
                    std::to_string(N) +
                    " <sender@example.org>\r\n"
                    "To: Receiver <receiver@example.org>\r\n"
                    "Subject: Benchmark message " +
                    std::to_string(N) +
                    "\r\n"
                    "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\n"
                    "Message-ID: <bench-" +
                    std::to_string(N) + "@example.org>\r\n\r\n";
    for (int l = 0; l < 20; ++l)
        m += "Body line " + std::to_string(l) + " of a benchmark message, plain text.\r\n";
    return m;
}

void FillHeaders(std::string& Block, std::uint64_t& Line) {
    const char* const names[] = {"Received", "From", "To", "X-Mailer", "Subject", "Date"};
    for (std::size_t at = 0; at + 64 <= Block.size(); at += 64, ++Line) {
        std::string line = std::string(names[Line % 6]) + ": line " + std::to_string(Line) + " ";
        line.resize(62, 'h');
        Block.replace(at, 64, line + "\r\n");
    }
}

void Put(std::string& Block, std::size_t At, const std::string& Bytes) {
    if (At + Bytes.size() + 1 > Block.size())
        return;
    Block.replace(At, Bytes.size(), Bytes);
    Block[At + Bytes.size()] = '\0'; // the stored text ends here
}


// --- The mail-dense image -----------------------------------------------------------------------

const char* const Names[] = {"Anna Keller", "Bob Martin", "Chloé Dubois", "Dmitri Ivanov",
                              "Eva Nováková", "Frank Li", "Grace Okafor", "Hans Müller"};
const char* const Users[] = {"anna", "bob", "chloe", "dmitri", "eva", "frank", "grace", "hans"};
const char* const Domains[] = {"example.org", "mail.example.com", "corp.example.net",
                                "lists.example.edu"};
const char* const Subjects[] = {"Quarterly figures", "Réunion de lundi", "Invoice 2026-114",
                                 "Re: shipping schedule", "Fwd: budget review", "Grüße aus Köln",
                                 "Meeting notes", "Your order has shipped"};
const char* const Days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string Base64(std::string_view Bytes) {
    static const char* const digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < Bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, Bytes.size() - i);
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 3; ++k)
            v = v << 8 | (k < n ? static_cast<unsigned char>(Bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k)
            out += k <= n ? digits[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

// Quoted-printable of UTF-8 text (no soft breaks: the lines are short).
std::string QuotedPrintable(std::string_view Text) {
    static const char* const hex = "0123456789ABCDEF";
    std::string out;
    for (const char c : Text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80 || c == '=') {
            out += '=';
            out += hex[b >> 4];
            out += hex[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

// An RFC 2047 word: base64 or Q, chosen by the caller.
std::string EncodedWord(std::string_view Text, bool B) {
    if (B) return "=?UTF-8?B?" + Base64(Text) + "?=";
    std::string q = QuotedPrintable(Text);
    std::replace(q.begin(), q.end(), ' ', '_');
    return "=?UTF-8?Q?" + q + "?=";
}

// Base64 text in lines of 76, as mailers write it.
std::string Wrapped(std::string_view Encoded, const std::string& Eol) {
    std::string out;
    for (std::size_t at = 0; at < Encoded.size(); at += 76)
        out.append(Encoded.substr(at, 76)).append(Eol);
    return out;
}

bool IsAscii(std::string_view Text) {
    return std::all_of(Text.begin(), Text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

const char* const BodyLines[] = {
    "Please find the figures for the third quarter below.",
    "Les chiffres du trimestre sont prêts, voir la pièce jointe.",
    "The shipment leaves the warehouse on Thursday morning.",
    "Können wir das Treffen auf nächste Woche verschieben?",
    "Thanks for the quick reply, that settles it.",
    "Totals: 1,204 items, 3 pending approval.",
    "-- \nSent from the office"};

// One message of about 300 to 1000 bytes, lines ending with Eol. Kind picks the body's shape.
std::string DenseMessage(std::uint64_t N, TRandom& Rng, const char* Eol) {
    const std::string e = Eol;
    auto pick = [&Rng](const auto& Array) {
        return Array[Rng.Next() % (sizeof Array / sizeof Array[0])];
    };
    const unsigned from = static_cast<unsigned>(Rng.Next() % 8), to = (from + 1 + Rng.Next() % 7) % 8;
    const std::string fromAddr = std::string(Users[from]) + "@" + pick(Domains);
    const std::string toAddr = std::string(Users[to]) + "@" + pick(Domains);
    const std::string subject = pick(Subjects);
    const std::string fromName = Names[from];
    const std::string id = std::to_string(N) + "." + std::to_string(Rng.Next() % 100000);
    std::string date = std::string(pick(Days)) + ", " + std::to_string(1 + Rng.Next() % 28) + " " +
                       pick(Months) + " 2026 " + std::to_string(10 + Rng.Next() % 14) + ":" +
                       std::to_string(10 + Rng.Next() % 50) + ":00 +0100";
    std::string m;
    if (Rng.Next() % 2) m += "Return-Path: <" + fromAddr + ">" + e;
    else m += "Delivered-To: " + toAddr + e;
    m += "Received: from mx" + std::to_string(Rng.Next() % 9) + ".example.net (mx.example.net " +
         "[192.0.2." + std::to_string(Rng.Next() % 250) + "])" + e + "\tby mail.example.org with ESMTPS id " +
         id + e + "\tfor <" + toAddr + ">; " + date + e;
    m += "From: " + (IsAscii(fromName) ? fromName : EncodedWord(fromName, Rng.Next() % 2)) + " <" +
         fromAddr + ">" + e;
    const std::string toName = Names[to];
    m += "To: " + (IsAscii(toName) ? toName : EncodedWord(toName, Rng.Next() % 2)) + " <" + toAddr +
         ">" + e;
    m += "Subject: " + (IsAscii(subject) ? subject : EncodedWord(subject, Rng.Next() % 2)) + e;
    m += "Date: " + date + e;
    m += "Message-ID: <" + id + "@" + pick(Domains) + ">" + e;
    m += "MIME-Version: 1.0" + e;
    std::string text;
    for (std::uint64_t l = 0, lines = 1 + Rng.Next() % 4; l < lines; ++l)
        text += std::string(pick(BodyLines)) + e;
    const std::string boundary = "=_part_" + id;
    switch (Rng.Next() % 4) {
    case 0: // plain, quoted-printable
        m += "Content-Type: text/plain; charset=UTF-8" + e +
             "Content-Transfer-Encoding: quoted-printable" + e + e + QuotedPrintable(text);
        break;
    case 1: // plain, 8-bit UTF-8
        m += "Content-Type: text/plain; charset=UTF-8" + e + "Content-Transfer-Encoding: 8bit" + e +
             e + text;
        break;
    case 2: { // alternative: text and a short HTML part in base64
        const std::string html = "<html><body><p>" + text.substr(0, text.find('\n')) + "</p></body></html>";
        m += "Content-Type: multipart/alternative;" + e + "\tboundary=\"" + boundary + "\"" + e + e +
             "--" + boundary + e + "Content-Type: text/plain; charset=UTF-8" + e +
             "Content-Transfer-Encoding: quoted-printable" + e + e + QuotedPrintable(text) + e +
             "--" + boundary + e + "Content-Type: text/html; charset=UTF-8" + e +
             "Content-Transfer-Encoding: base64" + e + e + Wrapped(Base64(html), e) + "--" +
             boundary + "--" + e;
        break;
    }
    default: { // mixed: text and a small attachment
        std::string attachment(96 + Rng.Next() % 96, '\0');
        for (char& c : attachment)
            c = static_cast<char>(Rng.Next());
        m += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"" + e + e + "--" +
             boundary + e + "Content-Type: text/plain; charset=UTF-8" + e + e + text + e + "--" +
             boundary + e + "Content-Type: application/octet-stream; name=\"r" + id + ".bin\"" + e +
             "Content-Transfer-Encoding: base64" + e + e;
        m += Wrapped(Base64(attachment), e) + "--" + boundary + "--" + e;
        break;
    }
    }
    return m;
}

// One MiB of mail: .eml files (CR LF) or Maildir files (LF) at sector starts, zeros after each
// message to its sector's end, or an mbox file of LF messages; the rest of the block zeros.
void FillDense(std::string& Block, TRandom& Rng, std::uint64_t& Messages) {
    Block.assign(BlockBytes, '\0');
    const std::uint64_t kind = Rng.Next() % 10;
    std::size_t at = 0;
    if (kind < 7) {
        const char* eol = kind < 4 ? "\r\n" : "\n";
        for (;;) {
            const std::string m = DenseMessage(Messages, Rng, eol);
            if (at + m.size() + 1 > BlockBytes) break;
            Block.replace(at, m.size(), m);
            ++Messages;
            at = (at + m.size() + 1 + 511) / 512 * 512;
        }
        return;
    }
    for (;;) {
        const std::string m = DenseMessage(Messages, Rng, "\n");
        const std::string from = "From " + std::string(Users[Rng.Next() % 8]) +
                                 "@example.org Mon Dec  7 10:00:00 2026\n";
        if (at + from.size() + m.size() + 2 > BlockBytes) break;
        Block.replace(at, from.size() + m.size() + 1, from + m + "\n");
        at += from.size() + m.size() + 1;
        ++Messages;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: make_bench_image OUT SIZE_MIB mixed|text|mail|headers|dense\n";
        return 2;
    }
    const std::string out = argv[1];
    const std::uint64_t mib = std::strtoull(argv[2], nullptr, 10);
    const std::string kind = argv[3];
    if (mib == 0 || (kind != "mixed" && kind != "text" && kind != "mail" && kind != "headers" &&
                     kind != "dense")) {
        std::cerr << "make_bench_image: bad size or kind\n";
        return 2;
    }
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    if (!file) {
        std::cerr << "make_bench_image: cannot write " << out << "\n";
        return 1;
    }
    TRandom rng;
    std::string block(BlockBytes, '\0');
    std::uint64_t messages = 0, lines = 0;
    for (std::uint64_t b = 0; b < mib; ++b) {
        if (kind == "dense") {
            // The scan starts at sector 1: the first block is free space, as a volume's start is.
            if (b == 0)
                block.assign(BlockBytes, '\0');
            else
                FillDense(block, rng, messages);
        } else if (kind == "headers") {
            FillHeaders(block, lines);
        } else if (kind == "text") {
            FillText(block, rng, "\r\n");
        } else if (kind == "mail") {
            FillRandom(block, rng);
            for (std::size_t at = 0; at < BlockBytes; at += 65536)
                Put(block, at, Message(messages++));
        } else {
            switch (b % 5) {
            case 0:
                block.assign(BlockBytes, '\0');
                break;
            case 1:
                FillRandom(block, rng);
                break;
            case 2:
                FillText(block, rng, "\r\n");
                break;
            case 3:
                FillText(block, rng, "\n");
                break;
            default:
                FillRandom(block, rng);
                for (int m = 0; m < 4; ++m)
                    Put(block, (rng.Next() % (BlockBytes / 512 - 8)) * 512, Message(messages++));
            }
        }
        file.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    file.close();
    if (!file) {
        std::cerr << "make_bench_image: write failed for " << out << "\n";
        return 1;
    }
    std::cout << out << ": " << mib << " MiB, " << messages << " messages\n";
    return 0;
}
