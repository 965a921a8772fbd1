#pragma once
// What the updater's controller needs of its window. The Win32 dialog implements it;
// tests use a recording fake. Only the window's own (GUI) thread changes its controls;
// another thread hands a change over with RunOnWindowThread and waits until the GUI
// thread has carried it out, the way a cross-thread SendMessageW waits.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class DialogWindow {
  public:
    // Opaque system handle (HICON on Windows).
    using IconHandle = void*;

    // Owns the enlarged message font; destroying it deletes the system font.
    class Font {
      public:
        virtual ~Font() = default;
    };

    // --- presentation (GUI thread) ---
    virtual IconHandle LoadAppIcon() = 0;
    // The dialog's base initialisation: binds the controls to their ids.
    virtual void InitBase() = 0;
    virtual void SetIcons(IconHandle icon) = 0;  // big, then small
    virtual void ShowDialog() = 0;
    virtual void SetTitle(const std::u16string& title) = 0;
    // Makes the message label's font: the dialog font at 3/2 of its height, weight 400.
    virtual std::unique_ptr<Font> EnlargeMessageFont(int controlId) = 0;

    // --- control changes (GUI thread) ---
    virtual void SetControlText(int controlId, const std::u16string& text) = 0;
    virtual void ShowControl(int controlId, bool visible) = 0;
    virtual void EnableCloseCommand(bool enabled) = 0;

    // --- any thread ---
    // Runs work on the GUI thread: at once when called there, otherwise when the GUI
    // thread next handles messages or serves (ServeFor), while the caller waits.
    virtual void RunOnWindowThread(const std::function<void()>& work) = 0;
    virtual std::u16string LoadText(int stringId) = 0;
    // Narrow text in the calling thread's ANSI code page, as UTF-16.
    virtual std::u16string FromAnsi(const char* text) = 0;

    // --- GUI thread ---
    virtual void EndDialog(int result) = 0;
    // Waits up to ms (0: not at all) while carrying out the control changes that other
    // threads are waiting for. Nothing else is handled: no input, no painting.
    virtual void ServeFor(int ms) = 0;

  protected:
    ~DialogWindow() = default;
};
