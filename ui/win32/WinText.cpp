#include "ui/win32/WinText.h"

#include <algorithm>
#include <cwctype>
#include <iterator>

#include <windows.h>

#include "engine/CodePage1252.h"

std::wstring CellFrom1252(std::string_view Bytes) {
    std::wstring text;
    text.reserve(Bytes.size());
    for (const char c : Bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text.push_back(byte == 0 ? L' ' : static_cast<wchar_t>(CharFrom1252(byte)));
    }
    return text;
}

std::wstring DisplayFrom1252(std::string_view Bytes) {
    std::wstring text;
    text.reserve(Bytes.size() + Bytes.size() / 32);
    for (std::size_t i = 0; i < Bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(Bytes[i]);
        if (byte == '\r' || byte == '\n') {
            text += L"\r\n";
            if (byte == '\r' && i + 1 < Bytes.size() && Bytes[i + 1] == '\n') ++i;
        } else {
            text.push_back(byte == 0 ? L' ' : static_cast<wchar_t>(CharFrom1252(byte)));
        }
    }
    return text;
}

std::optional<std::string> BytesFromTyped(const std::wstring& Text, wchar_t& Unmappable) {
    std::string bytes;
    bytes.reserve(Text.size());
    for (const wchar_t ch : Text) {
        bool found = false;
        for (unsigned byte = 1; byte < 256 && !found; ++byte)
            if (static_cast<wchar_t>(CharFrom1252(static_cast<unsigned char>(byte))) == ch) {
                bytes.push_back(static_cast<char>(byte));
                found = true;
            }
        if (!found) {
            Unmappable = ch;
            return std::nullopt;
        }
    }
    return bytes;
}

std::wstring WideFromSystem(std::string_view Text) {
    if (Text.empty()) return {};
    const int length =
        ::MultiByteToWideChar(CP_ACP, 0, Text.data(), static_cast<int>(Text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, Text.data(), static_cast<int>(Text.size()), wide.data(),
                          length);
    return wide;
}

namespace {

// Empty when Text is not valid in Page (or is empty).
std::wstring WideFrom(UINT Page, DWORD Flags, std::string_view Text) {
    if (Text.empty()) return {};
    const int length =
        ::MultiByteToWideChar(Page, Flags, Text.data(), static_cast<int>(Text.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(Page, Flags, Text.data(), static_cast<int>(Text.size()), wide.data(),
                          length);
    return wide;
}

} // namespace

std::wstring WideFromUtf8(std::string_view Text) {
    return WideFrom(CP_UTF8, 0, Text);
}

std::wstring DisplayFromUtf8(std::string_view Text) {
    const std::wstring wide = WideFromUtf8(Text);
    std::wstring text;
    text.reserve(wide.size() + wide.size() / 32);
    for (std::size_t i = 0; i < wide.size(); ++i) {
        const wchar_t c = wide[i];
        if (c == L'\r' || c == L'\n') {
            text += L"\r\n";
            if (c == L'\r' && i + 1 < wide.size() && wide[i + 1] == L'\n') ++i;
        } else {
            text.push_back(c == 0 ? L' ' : c);
        }
    }
    return text;
}

std::wstring CellFromUtf8(std::string_view Text) {
    std::wstring text = WideFromUtf8(Text);
    std::replace(text.begin(), text.end(), L'\0', L' ');
    return text;
}

std::string Utf8FromWide(const std::wstring& Text) {
    if (Text.empty()) return {};
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()),
                                             nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string out(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), out.data(),
                          length, nullptr, nullptr);
    return out;
}

std::wstring WideFromMessage(std::string_view Text) {
    std::wstring wide = WideFrom(CP_UTF8, MB_ERR_INVALID_CHARS, Text);
    return wide.empty() ? WideFromSystem(Text) : wide;
}

std::wstring EditLines(std::wstring Text) {
    std::wstring out;
    out.reserve(Text.size() + Text.size() / 32);
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == L'\n' && (i == 0 || Text[i - 1] != L'\r')) out += L'\r';
        out += Text[i];
    }
    return out;
}

std::optional<std::string> SystemFromWide(const std::wstring& Text) {
    if (Text.empty()) return std::string();
    BOOL lossy = FALSE;
    const int length =
        ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, Text.data(),
                              static_cast<int>(Text.size()), nullptr, 0, nullptr, &lossy);
    if (length <= 0 || lossy) return std::nullopt;
    std::string narrow(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, Text.data(), static_cast<int>(Text.size()),
                          narrow.data(), length, nullptr, &lossy);
    if (lossy) return std::nullopt;
    return narrow;
}

std::wstring SaveFilter(const std::wstring& Types, std::wstring& Extension) {
    std::wstring patterns = L"*";
    const std::size_t open = Types.rfind(L'('), close = Types.rfind(L')');
    if (open != std::wstring::npos && close != std::wstring::npos && close > open + 1)
        patterns = Types.substr(open + 1, close - open - 1);
    std::replace(patterns.begin(), patterns.end(), L' ', L';');
    const std::wstring first = patterns.substr(0, patterns.find(L';'));
    Extension = first.rfind(L"*.", 0) == 0 && first.find_first_of(L"*?", 2) == std::wstring::npos
                    ? first.substr(2)
                    : std::wstring();
    std::wstring filter = Types + L'\0' + patterns + L'\0';
    return filter + L"All files (*.*)" + L'\0' + L"*.*" + L'\0';
}

std::wstring WindowsSafeName(const std::wstring& Name) {
    std::wstring safe;
    safe.reserve(Name.size() + 1);
    for (const wchar_t c : Name)
        safe.push_back(c < 0x20 || c == 0x7F ||
                               std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos
                           ? L'_'
                           : c);
    while (!safe.empty() && (safe.back() == L'.' || safe.back() == L' '))
        safe.pop_back();
    if (safe.empty()) return L"attachment";
    // The device names hold whatever follows a dot, and spaces before it: "nul .txt" is NUL.
    std::wstring stem = safe.substr(0, safe.find(L'.'));
    while (!stem.empty() && stem.back() == L' ')
        stem.pop_back();
    for (wchar_t& c : stem)
        c = static_cast<wchar_t>(std::towupper(c));
    static const std::wstring_view devices[] = {L"CON", L"PRN",    L"AUX",
                                                L"NUL", L"CONIN$", L"CONOUT$"};
    bool device = std::find(std::begin(devices), std::end(devices), stem) != std::end(devices);
    if (stem.size() == 4 && (stem.starts_with(L"COM") || stem.starts_with(L"LPT")) &&
        ((stem[3] >= L'0' && stem[3] <= L'9') || stem[3] == L'\u00B9' || stem[3] == L'\u00B2' ||
         stem[3] == L'\u00B3'))
        device = true;
    return device ? L"_" + safe : safe;
}
