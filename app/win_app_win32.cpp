#include "app/win_app_win32.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/resource_exception.h"

namespace {
WinApp* current = nullptr;
}

WinApp::WinApp() {
    current = this;
}

WinApp::~WinApp() {
    current = nullptr;
}

WinApp* WinApp::Current() {
    return current;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // A GUI program's standard output is a file or a pipe when it is redirected; the
    // trace lines must reach it as they are written, and as they are: they carry their
    // own CR LF, which text mode would turn into CR CR LF.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    _setmode(_fileno(stdout), _O_BINARY);
    WinApp* app = WinApp::Current();
    if (app == nullptr) {
        return 1;
    }
    try {
        app->InitInstance();
    } catch (const ResourceException&) {
        // A system object could not be made; there is no window to tell it in.
        return 1;
    }
    return 0;
}
