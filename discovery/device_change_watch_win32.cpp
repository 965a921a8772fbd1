// The system tells a window when devices come and go: a hidden top-level window of the
// watch's own, on a thread of its own, receives WM_DEVICECHANGE (the broadcast that the
// device tree changed, and the arrival and removal of a COM-port interface it registered
// for). Each notification wakes one waiting WaitForChange. Where no notification comes
// (Wine sends none), the caller's periodic rescan finds the instrument.

#include <windows.h>
#include <dbt.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "discovery/device_change_watch.h"

namespace {

constexpr wchar_t kWindowClass[] = L"KlvDeviceChangeWatch";
// The window's title: a test finds the window by it to deliver a notification.
constexpr wchar_t kWindowTitle[] = L"KLV device change watch";
constexpr int kStopCheckMs = 100;

// The COM-port device interface class (GUID_DEVINTERFACE_COMPORT).
constexpr GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0,
                                    {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

}  // namespace

struct DeviceChangeWatch::State {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned long notifications = 0;  // counted by the window's thread
    unsigned long seen = 0;           // the count at the last Changed
    bool ready = false;               // the thread has tried to make its window
    HWND window = nullptr;
    std::thread thread;

    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* state = reinterpret_cast<State*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_DEVICECHANGE && state != nullptr) {
            {
                const std::lock_guard<std::mutex> lock(state->mutex);
                ++state->notifications;
            }
            state->changed.notify_all();
            return TRUE;
        }
        if (message == WM_CLOSE) {
            DestroyWindow(window);
            return 0;
        }
        if (message == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    void Run() {
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &Procedure;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = kWindowClass;
        RegisterClassExW(&windowClass);  // fails harmlessly when a second watch registers it
        // Top-level and never shown: only top-level windows get the system's broadcasts.
        const HWND made = CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPED, 0, 0, 0, 0,
                                          nullptr, nullptr, instance, this);
        HDEVNOTIFY registration = nullptr;
        if (made != nullptr) {
            DEV_BROADCAST_DEVICEINTERFACE_W filter{};
            filter.dbcc_size = sizeof filter;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_classguid = kComPortInterface;
            // Without it the broadcasts still come; with it arrivals come sooner.
            registration =
                RegisterDeviceNotificationW(made, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        }
        {
            const std::lock_guard<std::mutex> lock(mutex);
            window = made;
            ready = true;
        }
        changed.notify_all();
        if (made == nullptr) {
            return;
        }
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (registration != nullptr) {
            UnregisterDeviceNotification(registration);
        }
    }
};

DeviceChangeWatch::DeviceChangeWatch() : state_(std::make_unique<State>()) {
    State* state = state_.get();
    state->thread = std::thread([state] { state->Run(); });
    std::unique_lock<std::mutex> lock(state->mutex);
    state->changed.wait(lock, [state] { return state->ready; });
}

DeviceChangeWatch::DeviceChangeWatch(const std::string&) : DeviceChangeWatch() {}

DeviceChangeWatch::~DeviceChangeWatch() {
    HWND window = nullptr;
    {
        const std::lock_guard<std::mutex> lock(state_->mutex);
        window = state_->window;
    }
    if (window != nullptr) {
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    state_->thread.join();
}

bool DeviceChangeWatch::IsWatching() const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->window != nullptr;
}

DeviceChangeWatch::Result DeviceChangeWatch::WaitForChange(int timeoutMs,
                                                           const std::atomic<bool>& stop) {
    using Clock = std::chrono::steady_clock;
    if (!IsWatching()) {
        return Result::Failed;
    }
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    std::unique_lock<std::mutex> lock(state_->mutex);
    for (;;) {
        if (stop.load()) {
            return Result::Stopped;
        }
        if (state_->notifications != state_->seen) {
            state_->seen = state_->notifications;
            return Result::Changed;
        }
        Clock::time_point until = Clock::now() + std::chrono::milliseconds(kStopCheckMs);
        if (timeoutMs >= 0) {
            if (Clock::now() >= deadline) {
                return Result::TimedOut;
            }
            until = std::min(until, deadline);
        }
        state_->changed.wait_until(lock, until);
    }
}
