#include "Terminal.h"

#ifdef _WIN32
#include <io.h>
bool IsTerminal(int Stream) {
    return _isatty(Stream) != 0;
}
#else
#include <unistd.h>
bool IsTerminal(int Stream) {
    return isatty(Stream) != 0;
}
#endif
