#include "SystemUpperCase.h"

#ifdef _WIN32
#include <windows.h>

bool SystemUpperCase(unsigned char (&Bytes)[256]) {
    // Byte 0 included: CharUpperBuffA takes a length, not a terminated string.
    CharUpperBuffA(reinterpret_cast<LPSTR>(Bytes), 256);
    return true;
}
#else
bool SystemUpperCase(unsigned char (&Bytes)[256]) {
    (void)Bytes;
    return false;
}
#endif
