#pragma once

// How every front end writes amounts and times in its progress display: "1.5 GiB", "12:05".

#include <cstdio>
#include <string>

// Bytes in binary units: whole bytes below 1 KiB, one decimal above.
inline std::string ByteSizeText(double Bytes) {
    const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    int unit = 0;
    while (Bytes >= 1024 && unit < 5) {
        Bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", Bytes, units[unit]);
    return text;
}

// Seconds as m:ss, or h:mm:ss from an hour on.
inline std::string DurationText(double Seconds) {
    const auto t = static_cast<long long>(Seconds + 0.5);
    char text[32];
    if (t >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", t / 3600, t / 60 % 60, t % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", t / 60, t % 60);
    return text;
}
