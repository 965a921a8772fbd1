// Loaded into the updater's process as a message hook by close_state_probe.exe: the
// system menu of a window can only be read by the process that owns it.

#include <windows.h>

#include <cstdint>

extern "C" __declspec(dllexport) LRESULT CALLBACK
    CloseStateHook(int code, WPARAM wParam, LPARAM lParam) {
    static const UINT probe = RegisterWindowMessageW(L"klv-close-state-probe");
    const MSG* message = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && message->message == probe) {
        const UINT state =
            GetMenuState(GetSystemMenu(message->hwnd, FALSE), SC_CLOSE, MF_BYCOMMAND);
        // The asker's token in the upper bits tells its answer from an older one.
        const uintptr_t answer = (static_cast<uintptr_t>(message->wParam) << 16) |
                                 (state == static_cast<UINT>(-1) ? 0xFFFF : state & 0x0FFF);
        SetPropW(message->hwnd, L"klv.closestate", reinterpret_cast<HANDLE>(answer));
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
