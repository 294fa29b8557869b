// SPDX-License-Identifier: GPL-3.0-or-later
//
// A static GIO on Windows starts, from a constructor, its list of the system's installed programs
// and file associations at every program start: a thread that reads the registry and the
// installed packages' manifests, loading USER32 and the shell on the way (under Wine that also
// starts a desktop process). Only launching another program needs that list, which the scanner
// never does, and every GIO call that does asks for it again and waits for it. The scanner's link
// routes the constructor's call (the only one that does not wait) here, where it is dropped.

extern "C" {
void __real_gio_win32_appinfo_init(int DoWait);

void __wrap_gio_win32_appinfo_init(int DoWait) {
    if (DoWait) __real_gio_win32_appinfo_init(DoWait);
}
}
