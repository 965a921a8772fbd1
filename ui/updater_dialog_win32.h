#pragma once
// The updater's window: dialog template 102 on the framework layer, carrying the
// controller and serving it as its DialogWindow.

#include <array>

#include "ui/dialog_window.h"
#include "ui/fwupdate_klv_r20p_dlg.h"
#include "ui/modal_dialog_win32.h"

class UpdaterDialog final : public ModalDialog, public DialogWindow {
  public:
    // parts: what the controller is built on; left empty, the system's (tests give
    // their own).
    explicit UpdaterDialog(DialogParts parts = {});
    ~UpdaterDialog() override = default;

    // DialogWindow
    IconHandle LoadAppIcon() override;
    void InitBase() override;
    void SetIcons(IconHandle icon) override;
    void ShowDialog() override;
    void SetTitle(const std::u16string& title) override;
    std::unique_ptr<Font> EnlargeMessageFont(int controlId) override;
    void SetControlText(int controlId, const std::u16string& text) override;
    void ShowControl(int controlId, bool visible) override;
    void EnableCloseCommand(bool enabled) override;
    void RunOnWindowThread(const std::function<void()>& work) override;
    std::u16string LoadText(int stringId) override;
    std::u16string FromAnsi(const char* text) override;
    void EndDialog(int result) override;
    void ServeFor(int ms) override;

  private:
    BOOL OnInitDialog() override;
    bool OnCommand(int id) override;
    bool OnPaint() override;
    HICON OnQueryDragIcon() override;
    HBRUSH OnCtlColorStatic(HDC dc, HWND control, HBRUSH base) override;
    LRESULT OnDeviceChange(WPARAM eventType, LPARAM data) override;

    DialogItem* Item(int controlId);

    // The controls the controller changes, bound by InitBase.
    std::array<std::pair<int, DialogItem>, 5> items;
    FWUpdate_KLV_R20P_Dlg controller;
};
