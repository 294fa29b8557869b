#pragma once

// The sample mail the window tests scan: twelve short messages on a small image, built in a
// temporary folder of the test's own. Reading back what the windows wrote: ReadAll and FileNames.

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

struct TStored {
    std::string Subject;
    std::string Date;
    std::string From;
    std::string Body; // lines after the empty line, each ended by CR LF
};

inline std::string MessageText(const TStored& M) {
    return "From: " + M.From + "\r\nTo: Bob <bob@example.org>\r\nSubject: " + M.Subject +
           "\r\nDate: " + M.Date + "\r\n\r\n" + M.Body;
}

// Twelve messages. Bodies holding "invoice" (in any case) are items 1, 4, 7 and 10.
inline std::vector<TStored> Catalogue() {
    const char* const subjects[] = {"pear",  "Apple", "melon",  "banana", "Cherry", "kiwi",
                                    "grape", "Lemon", "orange", "Mango",  "fig",    "date"};
    std::vector<TStored> all;
    for (int i = 0; i < 12; ++i) {
        TStored m;
        m.Subject = subjects[i];
        m.Date = "Mon, " + std::to_string(10 + i) + " Jan 2022 10:00:00 +0000";
        m.From = std::string(1, static_cast<char>('a' + (i * 5) % 12)) + "@example.com";
        m.Body = "Hello number " + std::to_string(i) + "\r\n";
        if (i % 3 == 1)
            m.Body += (i == 4 ? "the INVOICE is attached\r\n" : "your Invoice, as promised\r\n");
        m.Body += "Regards\r\n";
        all.push_back(m);
    }
    return all;
}

// One message every four sectors from sector 2 on, zeros between them and after the last.
inline std::filesystem::path MakeImage(const std::filesystem::path& Path,
                                       const std::vector<TStored>& Messages) {
    constexpr std::size_t Sector = 512;
    std::string image(Sector * (4 * Messages.size() + 8), '\0');
    for (std::size_t i = 0; i < Messages.size(); ++i) {
        const std::string text = MessageText(Messages[i]);
        image.replace(Sector * (2 + 4 * i), text.size(), text);
    }
    image.resize((image.size() / Sector + 2) * Sector, '\0');
    std::ofstream(Path, std::ios::binary).write(image.data(), std::streamsize(image.size()));
    return Path;
}

// Whole stored messages, one every four sectors from sector 2 on, as MakeImage places them.
inline std::filesystem::path MakeImageOf(const std::filesystem::path& Path,
                                         const std::vector<std::string>& Texts) {
    constexpr std::size_t Sector = 512;
    std::string image(Sector * (4 * Texts.size() + 8), '\0');
    for (std::size_t i = 0; i < Texts.size(); ++i)
        image.replace(Sector * (2 + 4 * i), Texts[i].size(), Texts[i]);
    std::ofstream(Path, std::ios::binary).write(image.data(), std::streamsize(image.size()));
    return Path;
}

// Modern mail as mail programs store it, with what each should read as written by hand:
//  0  multipart: encoded-word sender and subject ("Jürgen", "Grüße aus Köln"), a quoted-printable
//     UTF-8 text part, a base64 attachment "hello.txt" of 19 bytes ("Hello, attachment!\n");
//     sent 2022-03-01 10:00 +0100, 09:00 UTC
//  1  a date that is no date
//  2  the same bytes as 0 (a copy)
//  3  HTML only, with a remote picture; sent 2022-01-10 08:00 UTC
inline std::vector<std::string> MimeSample() {
    const std::string multipart = "From: =?UTF-8?Q?J=C3=BCrgen?= <j@example.de>\r\n"
                                  "To: Bob <bob@example.org>\r\n"
                                  "Subject: =?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=\r\n"
                                  "Date: Tue, 1 Mar 2022 10:00:00 +0100\r\n"
                                  "MIME-Version: 1.0\r\n"
                                  "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
                                  "\r\n"
                                  "--b1\r\n"
                                  "Content-Type: text/plain; charset=utf-8\r\n"
                                  "Content-Transfer-Encoding: quoted-printable\r\n"
                                  "\r\n"
                                  "Sch=C3=B6ne Gr=C3=BC=C3=9Fe aus K=C3=B6ln\r\n"
                                  "--b1\r\n"
                                  "Content-Type: text/plain; name=\"hello.txt\"\r\n"
                                  "Content-Disposition: attachment; filename=\"hello.txt\"\r\n"
                                  "Content-Transfer-Encoding: base64\r\n"
                                  "\r\n"
                                  "SGVsbG8sIGF0dGFjaG1lbnQhCg==\r\n"
                                  "--b1--\r\n";
    const std::string undated = "From: Carol <carol@example.net>\r\nTo: Bob <bob@example.org>\r\n"
                                "Subject: Notes\r\nDate: sometime last week\r\n\r\n"
                                "Plain notes\r\n";
    const std::string html =
        "From: Dave <dave@example.com>\r\nTo: Bob <bob@example.org>\r\nSubject: Offer\r\n"
        "Date: Mon, 10 Jan 2022 08:00:00 +0000\r\nMIME-Version: 1.0\r\n"
        "Content-Type: text/html; charset=us-ascii\r\n\r\n"
        "<html><body><p>Hi <b>there</b></p><img src=\"http://tracker.example.com/x.png\">"
        "</body></html>\r\n";
    return {multipart, undated, multipart, html};
}

// The message a forwarded one (DecodingSample item 0) carries. It is sent base64-encoded, as
// some mailers do, so that the standard rule does not take its header lines for a message.
inline std::string ForwardedInner() {
    return "From: Erin <erin@example.org>\r\nSubject: Re: plan/2001\r\n"
           "Date: Sun, 31 Dec 2000 18:00:00 +0000\r\n\r\nThe plan, as promised.\r\n";
}

// Mail that decoding used to get wrong, with what each should read as:
//  0  a forwarded message attached (message/rfc822, ForwardedInner, named by its subject:
//     "Re: plan/2001.eml"); dated to the minute, "Mon, 01 Jan 2001 00:01 +0000"
//  1  a sender that is a KOI8-R encoded name alone ("Привет"), subject "Привет, мир";
//     "01 Jan 2001 00:01 +0000", 2001-01-01 00:01:00 UTC
//  2  a date that is no date, longer than its column; a subject longer than its column
//  3, 4  fragments: three known header lines, no sender, no subject
inline std::vector<std::string> DecodingSample() {
    const std::string forwarded =
        "From: Ann <ann@example.org>\r\nTo: Bob <bob@example.org>\r\n"
        "Subject: Fwd: plan\r\nDate: Mon, 01 Jan 2001 00:01 +0000\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"f1\"\r\n\r\n"
        "--f1\r\nContent-Type: text/plain\r\n\r\nSee below.\r\n"
        "--f1\r\nContent-Type: message/rfc822\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "RnJvbTogRXJpbiA8ZXJpbkBleGFtcGxlLm9yZz4NClN1YmplY3Q6IFJlOiBwbGFuLzIwMDENCkRh\r\n"
        "dGU6IFN1biwgMzEgRGVjIDIwMDAgMTg6MDA6MDAgKzAwMDANCg0KVGhlIHBsYW4sIGFzIHByb21p\r\n"
        "c2VkLg0K\r\n"
        "--f1--\r\n";
    const std::string koi8 = "From: =?koi8-r?B?8NLJ18XU?=\r\nTo: olga@example.ru\r\n"
                             "Subject: =?koi8-r?B?8NLJ18XULCDNydI=?=\r\n"
                             "Date: 01 Jan 2001 00:01 +0000\r\n\r\nHello\r\n";
    const std::string undated =
        "From: Carol <carol@example.net>\r\nTo: Bob <bob@example.org>\r\n"
        "Subject: A subject far longer than its column of the results list can show whole, "
        "which the list cuts off with an ellipsis at its right end, the rest of it unseen\r\n"
        "Date: sometime in the long hot summer of the year two thousand and one\r\n\r\n"
        "Notes\r\n";
    const std::string fragment = "Return-Path: <x@example.org>\r\nReceived: from a\r\n"
                                 "Message-ID: <1@example.org>\r\n\r\npiece of a message\r\n";
    std::string other = fragment;
    other.replace(other.find("<1@"), 3, "<2@");
    return {forwarded, koi8, undated, fragment, other};
}

// A folder of the test's own, removed with everything in it when the test ends.
class TTestFolder {
  public:
    explicit TTestFolder(const std::string& Prefix) {
        static unsigned counter = 0;
        Path = std::filesystem::temp_directory_path() /
               (Prefix + std::to_string(std::random_device{}()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(Path);
    }
    ~TTestFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(Path, ignored);
    }
    TTestFolder(const TTestFolder&) = delete;
    TTestFolder& operator=(const TTestFolder&) = delete;

    std::filesystem::path Path;
};

// Holds the window core's background work (TMainWindowCore::SetWorkGate) until opened, so that a
// test sees what the window does while that work runs. Open it before the core goes: the core
// waits for its workers.
class TWorkGate {
  public:
    void Wait() {
        std::unique_lock lock(FMutex);
        FChanged.wait(lock, [this] { return FOpen; });
    }
    void Open() {
        {
            const std::lock_guard lock(FMutex);
            FOpen = true;
        }
        FChanged.notify_all();
    }
    void Close() {
        const std::lock_guard lock(FMutex);
        FOpen = false;
    }

  private:
    std::mutex FMutex;
    std::condition_variable FChanged;
    bool FOpen = false;
};
