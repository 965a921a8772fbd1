#include "app/fwupdate_klv_r20p_app_win32.h"

#include <commctrl.h>

#include <clocale>

#include "ui/modal_dialog_win32.h"
#include "ui/resource_ids.h"
#include "ui/updater_dialog_win32.h"

namespace {

// No namespace prefix: the name lives in the session's own namespace.
constexpr wchar_t kInstanceMutexName[] = L"5A1F3C90-2E7B-4D68-B4A2-7C0E91D3F58B";

FWUpdate_KLV_R20P_App theApp;

}  // namespace

BOOL FWUpdate_KLV_R20P_App::InitInstance() {
    _wsetlocale(LC_ALL, L"");

    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;  // 8
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);

    WinApp::InitInstance();

    instanceMutex = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another copy runs: bring its window forward and end without one of our own.
        CloseHandle(instanceMutex);
        instanceMutex = nullptr;
        const std::u16string title = LoadStringResource(GetModuleHandleW(nullptr), IDS_TITLE);
        HWND running = FindWindowW(nullptr, reinterpret_cast<const wchar_t*>(title.c_str()));
        if (running != nullptr) {
            SetForegroundWindow(running);
        }
        return FALSE;
    }

    // A mutex that could not be made for another reason leaves the dialog unguarded.
    try {
        UpdaterDialog dialog;
        dialog.DoModal();
        // Released before the dialog object goes: the next copy may start at once.
        ReleaseInstanceMutex();
    } catch (...) {
        ReleaseInstanceMutex();
        throw;
    }
    return FALSE;
}

void FWUpdate_KLV_R20P_App::ReleaseInstanceMutex() {
    if (instanceMutex == nullptr) {
        return;
    }
    ReleaseMutex(instanceMutex);
    CloseHandle(instanceMutex);
    instanceMutex = nullptr;
}
