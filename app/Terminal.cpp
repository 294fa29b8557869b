#include "app/Terminal.h"

#include <csignal>

void IgnoreBrokenPipe() {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

#ifdef _WIN32
#include <io.h>
#include <windows.h>
bool IsTerminal(int Stream) {
    // _isatty holds for every character device, the NUL device among them: output sent to NUL
    // would be drawn for no one, a byte at a time. A console is what answers a console mode.
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(Stream));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}
#else
#include <unistd.h>
bool IsTerminal(int Stream) {
    return isatty(Stream) != 0;
}
#endif
