#pragma once
// The updater's application object: one copy at a time, and the updater dialog.

#include "app/win_app_win32.h"

class FWUpdate_KLV_R20P_App final : public WinApp {
  public:
    BOOL InitInstance() override;

  private:
    void ReleaseInstanceMutex();

    HANDLE instanceMutex = nullptr;
};
