// klvdrive: drives the updater's window from outside, for tests under Wine.
//
//   klvdrive wait-window TITLE TIMEOUT_MS   waits until a top-level window has TITLE
//   klvdrive wait-gone TITLE TIMEOUT_MS     waits until no window has TITLE
//   klvdrive [--title T] text ID            prints the control's text (CR and LF as \r \n)
//   klvdrive [--title T] wait-text ID TEXT TIMEOUT_MS
//   klvdrive [--title T] visible ID         prints 1 or 0
//   klvdrive [--title T] closestate         prints enabled, disabled or grayed (SC_CLOSE);
//                                           unavailable (status 3) where the system
//                                           menu of another process cannot be read
//   klvdrive [--title T] click ID           BM_CLICK on the control
//   klvdrive [--title T] devicechange [TYPE]  posts WM_DEVICECHANGE (default type 7)
//   klvdrive [--title T] send-devicechange [TYPE]
//                                           sends it, as the system does (SendMessageTimeoutW,
//                                           10 s); status 1 when it was not handled in time
//   klvdrive [--title T] app-message        posts and sends WM_APP+1 with made-up
//                                           wParam and lParam, as any program could
//   klvdrive [--title T] close              sends WM_SYSCOMMAND SC_CLOSE
//   klvdrive [--title T] key esc|enter      posts the key to the dialog
//   klvdrive [--title T] foreground         prints 1 when the window is the foreground one
//   klvdrive [--title T] pid                prints the id of the window's process
//   klvdrive hold-foreground MS             shows a window of its own in front for MS
//
// The title defaults to "KLV-Series FW Updater". Exit status 0 on success, 1 when the
// window or control is missing or a wait ran out, 2 on a usage error.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

const wchar_t kDefaultTitle[] = L"KLV-Series FW Updater";

int Usage() {
    std::fprintf(stderr, "usage: klvdrive [--title T] COMMAND ARGS (see the source)\n");
    return 2;
}

std::string Escaped(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c == L'\r') {
            out += "\\r";
        } else if (c == L'\n') {
            out += "\\n";
        } else if (c == L'\\') {
            out += "\\\\";
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
            out += buffer;
        }
    }
    return out;
}

// The command line's texts use the same escapes as the output.
std::wstring Unescaped(const wchar_t* text) {
    std::wstring out;
    for (const wchar_t* p = text; *p != 0; ++p) {
        if (*p == L'\\' && p[1] == L'r') {
            out += L'\r';
            ++p;
        } else if (*p == L'\\' && p[1] == L'n') {
            out += L'\n';
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

std::wstring TextOf(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(got < 0 ? 0 : got));
    return text;
}

HWND WaitWindow(const std::wstring& title, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND found = FindWindowW(nullptr, title.c_str())) {
            return found;
        }
        if (GetTickCount() - start >= timeoutMs) {
            return nullptr;
        }
        Sleep(50);
    }
}

int HoldForeground(DWORD ms) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"klvdrive";
    RegisterClassW(&windowClass);
    HWND own = CreateWindowExW(0, L"klvdrive", L"klvdrive", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                               200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (own == nullptr) {
        return 1;
    }
    SetForegroundWindow(own);
    std::printf("%d\n", GetForegroundWindow() == own ? 1 : 0);
    std::fflush(stdout);
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
        Sleep(20);
    }
    DestroyWindow(own);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring title = kDefaultTitle;
    int at = 1;
    if (at + 1 < argc && std::wcscmp(argv[at], L"--title") == 0) {
        title = argv[at + 1];
        at += 2;
    }
    if (at >= argc) {
        return Usage();
    }
    const std::wstring command = argv[at++];
    const int left = argc - at;
    auto number = [&](int index) { return std::wcstol(argv[at + index], nullptr, 0); };

    if (command == L"wait-window" && left == 2) {
        return WaitWindow(argv[at], static_cast<DWORD>(number(1))) != nullptr ? 0 : 1;
    }
    if (command == L"wait-gone" && left == 2) {
        const DWORD start = GetTickCount();
        while (FindWindowW(nullptr, argv[at]) != nullptr) {
            if (GetTickCount() - start >= static_cast<DWORD>(number(1))) {
                return 1;
            }
            Sleep(50);
        }
        return 0;
    }
    if (command == L"hold-foreground" && left == 1) {
        return HoldForeground(static_cast<DWORD>(number(0)));
    }

    HWND dialog = FindWindowW(nullptr, title.c_str());
    if (dialog == nullptr) {
        std::fprintf(stderr, "klvdrive: no window \"%s\"\n", Escaped(title).c_str());
        return 1;
    }
    auto control = [&](int index) -> HWND {
        HWND item = GetDlgItem(dialog, static_cast<int>(number(index)));
        if (item == nullptr) {
            std::fprintf(stderr, "klvdrive: no control %ld\n", number(index));
        }
        return item;
    };

    if (command == L"text" && left == 1) {
        HWND item = control(0);
        if (item == nullptr) {
            return 1;
        }
        std::printf("%s\n", Escaped(TextOf(item)).c_str());
        return 0;
    }
    if (command == L"wait-text" && left == 3) {
        HWND item = control(0);
        if (item == nullptr) {
            return 1;
        }
        const std::wstring want = Unescaped(argv[at + 1]);
        const DWORD start = GetTickCount();
        while (TextOf(item) != want) {
            if (GetTickCount() - start >= static_cast<DWORD>(number(2))) {
                std::printf("%s\n", Escaped(TextOf(item)).c_str());
                return 1;
            }
            Sleep(50);
        }
        return 0;
    }
    if (command == L"visible" && left == 1) {
        HWND item = control(0);
        if (item == nullptr) {
            return 1;
        }
        std::printf("%d\n", IsWindowVisible(item) ? 1 : 0);
        return 0;
    }
    if (command == L"closestate" && left == 0) {
        // Wine hands out no system menu of another process's window: then the state
        // cannot be read from here.
        HMENU menu = GetSystemMenu(dialog, FALSE);
        const UINT state = menu != nullptr ? GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) : ~0u;
        if (state == ~0u) {
            std::printf("unavailable\n");
            return 3;
        }
        std::printf("%s\n", (state & MF_GRAYED) == MF_GRAYED ? "grayed"
                            : (state & MF_DISABLED)          ? "disabled"
                                                             : "enabled");
        return 0;
    }
    if (command == L"click" && left == 1) {
        HWND item = control(0);
        if (item == nullptr) {
            return 1;
        }
        // Posted, so that the driver does not wait for the handler (a quit waits for
        // the worker).
        PostMessageW(item, BM_CLICK, 0, 0);
        return 0;
    }
    if (command == L"devicechange" && (left == 0 || left == 1)) {
        const WPARAM type = left == 1 ? static_cast<WPARAM>(number(0)) : 7;  // DBT_DEVNODES_CHANGED
        return PostMessageW(dialog, WM_DEVICECHANGE, type, 0) ? 0 : 1;
    }
    if (command == L"send-devicechange" && (left == 0 || left == 1)) {
        const WPARAM type = left == 1 ? static_cast<WPARAM>(number(0)) : 7;
        DWORD_PTR result = 0;
        return SendMessageTimeoutW(dialog, WM_DEVICECHANGE, type, 0, SMTO_NORMAL, 10000, &result) !=
                       0
                   ? 0
                   : 1;
    }
    if (command == L"app-message" && left == 0) {
        const UINT message = WM_APP + 1;
        const LPARAM garbage[] = {0x10, static_cast<LPARAM>(0xDEADBEEF),
                                  reinterpret_cast<LPARAM>(dialog), -1};
        for (const LPARAM value : garbage) {
            PostMessageW(dialog, message, static_cast<WPARAM>(value), value);
            DWORD_PTR result = 0;
            SendMessageTimeoutW(dialog, message, static_cast<WPARAM>(value), value,
                                SMTO_NORMAL | SMTO_ABORTIFHUNG, 5000, &result);
        }
        return 0;
    }
    if (command == L"close" && left == 0) {
        return PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0) ? 0 : 1;
    }
    if (command == L"key" && left == 1) {
        const std::wstring key = argv[at];
        const WPARAM code = key == L"esc" ? VK_ESCAPE : key == L"enter" ? VK_RETURN : 0;
        if (code == 0) {
            return Usage();
        }
        HWND target = GetNextDlgTabItem(dialog, nullptr, FALSE);
        if (target == nullptr) {
            target = dialog;
        }
        PostMessageW(target, WM_KEYDOWN, code, 1);
        PostMessageW(target, WM_KEYUP, code, 0xC0000001);
        return 0;
    }
    if (command == L"foreground" && left == 0) {
        std::printf("%d\n", GetForegroundWindow() == dialog ? 1 : 0);
        return 0;
    }
    if (command == L"pid" && left == 0) {
        DWORD pid = 0;
        GetWindowThreadProcessId(dialog, &pid);
        std::printf("%lu\n", static_cast<unsigned long>(pid));
        return 0;
    }
    return Usage();
}
