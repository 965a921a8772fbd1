#pragma once
// A control object bound to a control id of the dialog. Used on the GUI thread.

#include <string>

#include "ui/dialog_window.h"

class DialogControl {
  public:
    explicit DialogControl(DialogWindow& window) : window(window) {}

    void Bind(int id) { controlId = id; }
    int Id() const { return controlId; }
    void SetText(const std::u16string& text) { window.SetControlText(controlId, text); }
    void Show(bool visible) { window.ShowControl(controlId, visible); }

  private:
    DialogWindow& window;
    int controlId = 0;
};
