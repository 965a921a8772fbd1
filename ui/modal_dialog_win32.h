#pragma once
// The small framework layer the updater stands on: a modal dialog run on a dialog
// template with a message table, control objects bound to control ids, the system
// menu's Close command, string loading, and handing work to the dialog's thread.

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

class ModalDialog {
  public:
    explicit ModalDialog(int templateId);
    virtual ~ModalDialog() = default;
    ModalDialog(const ModalDialog&) = delete;
    ModalDialog& operator=(const ModalDialog&) = delete;

    // Runs the dialog until EndDialog; returns its result, or -1 when the dialog could
    // not be created.
    INT_PTR DoModal();

  protected:
    // The message table. Each handler runs on the dialog's thread.
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual bool OnCommand(int /*id*/) { return false; }
    virtual bool OnPaint() { return false; }  // false: the default painting
    virtual HICON OnQueryDragIcon() { return nullptr; }
    // WM_CTLCOLORSTATIC; base is the brush of the default handling.
    virtual HBRUSH OnCtlColorStatic(HDC /*dc*/, HWND /*control*/, HBRUSH base) { return base; }
    virtual LRESULT OnDeviceChange(WPARAM /*eventType*/, LPARAM /*data*/) { return 0; }

    void EndDialog(int result);
    // Runs work on the dialog's thread and returns when it is done. From another thread
    // it waits in the dialog's own queue, and a message sent to the dialog makes the
    // dialog's thread run what waits there when it handles messages. The message carries
    // nothing: one from another program finds only this process's own work, or none.
    void RunOnDialogThread(const std::function<void()>& work);
    // Waits up to ms while handling only the messages that other threads send (and so
    // the work they hand over); posted messages (input, painting) wait.
    static void ServeSentMessages(DWORD ms);

    HINSTANCE instance = nullptr;
    HWND hwnd = nullptr;

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void RunQueuedWork();

    struct QueuedWork {
        const std::function<void()>* work;
        bool started = false;
        bool done = false;
    };

    const int templateId;
    const DWORD threadId;
    std::mutex queueMutex;
    std::condition_variable workDone;
    std::deque<QueuedWork*> queue;
};

// A control of the dialog, found by its id.
class DialogItem {
  public:
    void Bind(HWND dialog, int id);
    void SetText(const std::u16string& text);
    void Show(bool visible);
    HWND Handle() const { return item; }

  private:
    HWND item = nullptr;
};

// Enables or disables the Close command of the window's system menu, by command.
void EnableSystemClose(HWND window, bool enabled);

// A string of the program's own string table; empty when there is none.
std::u16string LoadStringResource(HINSTANCE instance, int id);
