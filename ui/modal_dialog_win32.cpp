#include "ui/modal_dialog_win32.h"

namespace {

// Tells the dialog's thread that work waits in its queue; wParam and lParam are unused.
constexpr UINT kRunMessage = WM_APP + 1;

const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

}  // namespace

ModalDialog::ModalDialog(int templateId)
    : instance(GetModuleHandleW(nullptr)), templateId(templateId), threadId(GetCurrentThreadId()) {}

INT_PTR ModalDialog::DoModal() {
    return DialogBoxParamW(instance, MAKEINTRESOURCEW(templateId), nullptr, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

void ModalDialog::EndDialog(int result) {
    ::EndDialog(hwnd, result);
}

void ModalDialog::RunOnDialogThread(const std::function<void()>& work) {
    if (GetCurrentThreadId() == threadId || hwnd == nullptr) {
        work();
        return;
    }
    QueuedWork queued{&work};
    {
        std::lock_guard lock(queueMutex);
        queue.push_back(&queued);
    }
    // Returns once the dialog's thread has handled it, and so has run the queue; once the
    // window is gone it returns at once, and the work is taken back: nothing is left to
    // change.
    SendMessageW(hwnd, kRunMessage, 0, 0);
    std::unique_lock lock(queueMutex);
    if (!queued.started) {
        std::erase(queue, &queued);
        return;
    }
    workDone.wait(lock, [&] { return queued.done; });
}

void ModalDialog::RunQueuedWork() {
    std::unique_lock lock(queueMutex);
    while (!queue.empty()) {
        QueuedWork* next = queue.front();
        queue.pop_front();
        next->started = true;
        lock.unlock();
        (*next->work)();
        lock.lock();
        next->done = true;
        workDone.notify_all();
    }
}

void ModalDialog::ServeSentMessages(DWORD ms) {
    MSG message;
    // PeekMessageW delivers the pending sent messages before it looks at the queue; with
    // PM_QS_SENDMESSAGE alone it takes nothing else.
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    if (ms == 0) {
        return;
    }
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, ms, QS_SENDMESSAGE) == WAIT_OBJECT_0) {
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

INT_PTR CALLBACK ModalDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<ModalDialog*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        dialog->hwnd = window;
        return dialog->OnInitDialog();
    }
    auto* dialog = reinterpret_cast<ModalDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (dialog == nullptr) {
        return FALSE;
    }
    return dialog->HandleMessage(message, wParam, lParam);
}

INT_PTR ModalDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            return OnCommand(LOWORD(wParam)) ? TRUE : FALSE;
        case WM_PAINT:
            return OnPaint() ? TRUE : FALSE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
        case WM_CTLCOLORSTATIC: {
            // The default colours and brush first, as the plain dialog would have them.
            const auto base =
                reinterpret_cast<HBRUSH>(DefWindowProcW(hwnd, message, wParam, lParam));
            return reinterpret_cast<INT_PTR>(OnCtlColorStatic(
                reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), base));
        }
        case WM_DEVICECHANGE:
            SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, OnDeviceChange(wParam, lParam));
            return TRUE;
        case kRunMessage:
            RunQueuedWork();
            return TRUE;
        default:
            return FALSE;
    }
}

void DialogItem::Bind(HWND dialog, int id) {
    item = GetDlgItem(dialog, id);
}

void DialogItem::SetText(const std::u16string& text) {
    SetWindowTextW(item, Wide(text));
}

void DialogItem::Show(bool visible) {
    ShowWindow(item, visible ? SW_SHOW : SW_HIDE);
}

void EnableSystemClose(HWND window, bool enabled) {
    EnableMenuItem(GetSystemMenu(window, FALSE), SC_CLOSE,
                   MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_DISABLED));
}

std::u16string LoadStringResource(HINSTANCE instance, int id) {
    // With a length of 0 LoadStringW hands out a pointer into the resource itself.
    const wchar_t* text = nullptr;
    const int length =
        LoadStringW(instance, static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(text), static_cast<size_t>(length));
}
