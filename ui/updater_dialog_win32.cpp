#include "ui/updater_dialog_win32.h"

#include <vector>

#include "ui/resource_ids.h"

namespace {

class GdiFont final : public DialogWindow::Font {
  public:
    explicit GdiFont(HFONT font) : font(font) {}
    ~GdiFont() override {
        if (font != nullptr) {
            DeleteObject(font);
        }
    }
    GdiFont(const GdiFont&) = delete;
    GdiFont& operator=(const GdiFont&) = delete;

  private:
    HFONT font;
};

}  // namespace

UpdaterDialog::UpdaterDialog(DialogParts parts)
    : ModalDialog(IDD_UPDATER_DIALOG),
      items{{{IDC_YES_BUTTON, {}},
             {IDC_NO_BUTTON, {}},
             {IDC_OK_BUTTON, {}},
             {IDC_MESSAGE, {}},
             {IDC_VERSION, {}}}},
      controller(*this, std::move(parts)) {}

DialogWindow::IconHandle UpdaterDialog::LoadAppIcon() {
    return LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_ICON));
}

void UpdaterDialog::InitBase() {
    for (auto& [id, item] : items) {
        item.Bind(hwnd, id);
    }
}

void UpdaterDialog::SetIcons(IconHandle icon) {
    SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

void UpdaterDialog::ShowDialog() {
    ShowWindow(hwnd, SW_SHOW);
}

void UpdaterDialog::SetTitle(const std::u16string& title) {
    SetWindowTextW(hwnd, reinterpret_cast<const wchar_t*>(title.c_str()));
}

std::unique_ptr<DialogWindow::Font> UpdaterDialog::EnlargeMessageFont(int controlId) {
    const auto dialogFont = reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0));
    LOGFONTW description{};
    GetObjectW(dialogFont, sizeof description, &description);
    // Integer arithmetic truncates toward zero: -12 becomes -18, -11 becomes -16.
    const HFONT font =
        CreateFontW(description.lfHeight * 3 / 2, 0, description.lfEscapement,
                    description.lfOrientation, FW_NORMAL, FALSE, FALSE, FALSE,
                    description.lfCharSet, description.lfOutPrecision, description.lfClipPrecision,
                    description.lfQuality, description.lfPitchAndFamily, description.lfFaceName);
    SendMessageW(GetDlgItem(hwnd, controlId), WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return std::make_unique<GdiFont>(font);
}

DialogItem* UpdaterDialog::Item(int controlId) {
    for (auto& [id, item] : items) {
        if (id == controlId) {
            return &item;
        }
    }
    return nullptr;
}

void UpdaterDialog::SetControlText(int controlId, const std::u16string& text) {
    if (DialogItem* item = Item(controlId)) {
        item->SetText(text);
    }
}

void UpdaterDialog::ShowControl(int controlId, bool visible) {
    if (DialogItem* item = Item(controlId)) {
        item->Show(visible);
    }
}

void UpdaterDialog::EnableCloseCommand(bool enabled) {
    EnableSystemClose(hwnd, enabled);
}

void UpdaterDialog::RunOnWindowThread(const std::function<void()>& work) {
    RunOnDialogThread(work);
}

std::u16string UpdaterDialog::LoadText(int stringId) {
    return LoadStringResource(instance, stringId);
}

std::u16string UpdaterDialog::FromAnsi(const char* text) {
    const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
    if (units <= 1) {
        return {};
    }
    std::vector<wchar_t> wide(static_cast<size_t>(units));
    MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, wide.data(), units);
    return std::u16string(reinterpret_cast<const char16_t*>(wide.data()),
                          static_cast<size_t>(units - 1));
}

void UpdaterDialog::EndDialog(int result) {
    ModalDialog::EndDialog(result);
}

void UpdaterDialog::ServeFor(int ms) {
    ServeSentMessages(static_cast<DWORD>(ms));
}

BOOL UpdaterDialog::OnInitDialog() {
    return controller.OnInitDialog() ? TRUE : FALSE;
}

bool UpdaterDialog::OnCommand(int id) {
    switch (id) {
        case IDC_NO_BUTTON:  // also the cancel command of Esc and of the Close command
        case IDC_OK_BUTTON:
            controller.OnQuit();
            return true;
        case IDC_YES_BUTTON:
            controller.OnYes();
            return true;
        case IDOK:
            controller.OnIdOk();
            return true;
        default:
            return false;
    }
}

bool UpdaterDialog::OnPaint() {
    if (!IsIconic(hwnd)) {
        return false;
    }
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd, &paint);
    SendMessageW(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    const int iconWidth = GetSystemMetrics(SM_CXICON);
    const int iconHeight = GetSystemMetrics(SM_CYICON);
    RECT client;
    GetClientRect(hwnd, &client);
    const int x = (client.right - client.left - iconWidth + 1) / 2;
    const int y = (client.bottom - client.top - iconHeight + 1) / 2;
    DrawIcon(dc, x, y, static_cast<HICON>(controller.Icon()));
    EndPaint(hwnd, &paint);
    return true;
}

HICON UpdaterDialog::OnQueryDragIcon() {
    return static_cast<HICON>(controller.Icon());
}

HBRUSH UpdaterDialog::OnCtlColorStatic(HDC dc, HWND control, HBRUSH base) {
    if (controller.DrawsInRed(GetDlgCtrlID(control))) {
        SetTextColor(dc, RGB(255, 0, 0));
    }
    return base;
}

LRESULT UpdaterDialog::OnDeviceChange(WPARAM eventType, LPARAM data) {
    return controller.OnDeviceChange(static_cast<unsigned>(eventType),
                                     static_cast<uintptr_t>(data));
}
