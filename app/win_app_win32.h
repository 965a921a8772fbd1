#pragma once
// The framework's application object: one global instance, whose InitInstance the entry
// point calls. The program has no message loop of its own: InitInstance runs the
// dialog and its result (FALSE) ends the process.

#include <windows.h>

class WinApp {
  public:
    WinApp();
    virtual ~WinApp();
    WinApp(const WinApp&) = delete;
    WinApp& operator=(const WinApp&) = delete;

    virtual BOOL InitInstance() { return FALSE; }

    // The one application object, or null before it is constructed.
    static WinApp* Current();
};
