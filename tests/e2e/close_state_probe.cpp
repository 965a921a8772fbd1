// close_state_probe: prints the state of the Close command (SC_CLOSE) in the system
// menu of the window titled "KLV-Series FW Updater": enabled, disabled or grayed.
//
// The menu belongs to the updater's process, so the question is asked from inside it:
// close_state_hook.dll goes in as a message hook on the window's thread, answers one
// posted probe message and leaves its answer as a property of the window.
// Exit status 0 with an answer, 1 without.

#include <windows.h>

#include <cstdint>
#include <cstdio>

int wmain() {
    HWND dialog = FindWindowW(nullptr, L"KLV-Series FW Updater");
    if (dialog == nullptr) {
        std::fprintf(stderr, "close_state_probe: no window\n");
        return 1;
    }
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* slash = path + length;
    while (slash > path && slash[-1] != L'\\' && slash[-1] != L'/') {
        --slash;
    }
    lstrcpyW(slash, L"close_state_hook.dll");
    HMODULE hookModule = LoadLibraryW(path);
    auto* hook = hookModule != nullptr
                     ? reinterpret_cast<HOOKPROC>(GetProcAddress(hookModule, "CloseStateHook"))
                     : nullptr;
    if (hook == nullptr) {
        std::fprintf(stderr, "close_state_probe: no hook library\n");
        return 1;
    }
    const DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
    HHOOK installed = SetWindowsHookExW(WH_GETMESSAGE, hook, hookModule, thread);
    if (installed == nullptr) {
        std::fprintf(stderr, "close_state_probe: hook refused\n");
        return 1;
    }
    const UINT probe = RegisterWindowMessageW(L"klv-close-state-probe");
    // Never 0, so that a window without the property gives no answer.
    const WPARAM token = ((GetCurrentProcessId() ^ GetTickCount()) & 0x7FFE) | 1;
    PostMessageW(dialog, probe, token, 0);
    uintptr_t answer = 0;
    for (int i = 0; i < 200; ++i) {
        answer = reinterpret_cast<uintptr_t>(GetPropW(dialog, L"klv.closestate"));
        if ((answer >> 16) == token) {
            break;
        }
        Sleep(20);
    }
    UnhookWindowsHookEx(installed);
    if ((answer >> 16) != token || (answer & 0xFFFF) == 0xFFFF) {
        std::fprintf(stderr, "close_state_probe: no answer\n");
        return 1;
    }
    const UINT state = static_cast<UINT>(answer & 0xFFFF);
    std::printf("%s\n", (state & MF_GRAYED) == MF_GRAYED ? "grayed"
                        : (state & MF_DISABLED)          ? "disabled"
                                                         : "enabled");
    return 0;
}
