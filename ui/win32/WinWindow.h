#pragma once

// The object behind a window of the program's own classes.

#include <windows.h>

// The object a window was made for: handed to CreateWindowEx as its creation parameter, kept with
// the window at WM_NCCREATE and found there for every later message. Null for the messages before
// WM_NCCREATE and once the object has let go of its window (set the user data to 0).
template <typename TOwner> TOwner* WindowOwner(HWND Window, UINT Message, LPARAM LParam) {
    if (Message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(LParam);
        ::SetWindowLongPtrW(Window, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    return reinterpret_cast<TOwner*>(::GetWindowLongPtrW(Window, GWLP_USERDATA));
}
