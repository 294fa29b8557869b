// Mail built to defeat the decoder: nesting deeper than the HTML library's own limit, NUL in the
// text, a charset that converts to nothing, parts nested by the hundred thousand. The text must
// still be read, and memory stay bounded.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "mail/DecodedMessage.h"

namespace {

std::string Message(const std::string& Type, const std::string& Body,
                    const std::string& Extra = "") {
    return "From: a@example.org\r\nTo: b@example.org\r\nSubject: hostile\r\nMIME-Version: 1.0\r\n"
           "Content-Type: " +
           Type + "\r\n" + Extra + "\r\n" + Body;
}

std::string Repeat(const std::string& S, int N) {
    std::string out;
    for (int i = 0; i < N; ++i)
        out += S;
    return out;
}

// Decodes in a child process whose address space may grow by Extra bytes only: true when the
// message decoded within that (an allocation beyond it ends the child).
bool DecodesWithin(const std::string& Stored, std::uint64_t Extra) {
    std::ifstream status("/proc/self/status");
    std::uint64_t kib = 0;
    for (std::string word; status >> word;)
        if (word == "VmSize:" && status >> kib) break;
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit limit{kib * 1024 + Extra, kib * 1024 + Extra};
        setrlimit(RLIMIT_AS, &limit);
        const TDecodedMessage d = DecodeMessage(Stored);
        _exit(d.Subject == "hostile" ? 0 : 1);
    }
    int raw = 0;
    return pid > 0 && waitpid(pid, &raw, 0) == pid && WIFEXITED(raw) && WEXITSTATUS(raw) == 0;
}

TEST(HostileMail, TextIsReadWhateverTheNestingAndCharset) {
    struct TCase {
        const char* Name;
        std::string Stored;
        std::string Words; // must be found by the text search
    };
    const TCase cases[] = {
        {"260 nested divs",
         Message("text/html; charset=utf-8", "<html><body>" + Repeat("<div>", 260) + "deep words" +
                                                 Repeat("</div>", 260) +
                                                 "<p>after the divs</p></body></html>\r\n"),
         "after the divs"},
        {"300 unclosed fonts",
         Message("text/html; charset=utf-8",
                 "<html><body>" + Repeat("<font size=2>", 300) + "lost words<p>and more</p>\r\n"),
         "lost words"},
        {"NUL in the decoded text",
         Message("text/plain; charset=utf-8", "before=00after the nul\r\n",
                 "Content-Transfer-Encoding: quoted-printable\r\n"),
         "after the nul"},
        {"a charset that converts to nothing",
         Message("text/plain; charset=UTF-32", "plain ascii words\r\n"), "plain ascii words"},
    };
    for (const TCase& c : cases) {
        const TDecodedMessage d = DecodeMessage(c.Stored);
        EXPECT_TRUE(DecodedContains(d, c.Words)) << c.Name << ": " << d.Text.substr(0, 200);
    }
    // The deep divs' own words, and the structure around them, are kept.
    const TDecodedMessage divs = DecodeMessage(cases[0].Stored);
    EXPECT_NE(divs.Text.find("deep words\nafter the divs"), std::string::npos) << divs.Text;
    const TDecodedMessage fonts = DecodeMessage(cases[1].Stored);
    EXPECT_NE(fonts.Text.find("and more"), std::string::npos) << fonts.Text;
}

// Every part one level below the last, all under one boundary: decoding ends, the headers are
// read, and what is within the nesting the decoder follows is found.
TEST(HostileMail, PartsNestedByTheHundredThousandDecodeInBoundedMemory) {
    const std::string nest = "--b\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n";
    const std::string stored =
        Message("multipart/mixed; boundary=b",
                "--b\r\nContent-Type: text/plain\r\n\r\nfirst words\r\n" + Repeat(nest, 300000) +
                    "--b\r\nContent-Type: text/plain\r\n\r\nbottom words\r\n--b--\r\n");
    EXPECT_TRUE(DecodesWithin(stored, std::uint64_t{256} << 20));
    const TDecodedMessage d = DecodeMessage(stored);
    EXPECT_EQ(d.Subject, "hostile");
    EXPECT_NE(d.Text.find("first words"), std::string::npos) << d.Text.substr(0, 200);
}

} // namespace
