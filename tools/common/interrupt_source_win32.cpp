// Ctrl-C, Ctrl-Break and the console window being closed, from SetConsoleCtrlHandler. The
// system calls the routine on a thread of its own, so no write to the instrument is ever
// cut by it. Closing the window (and logging off, shutting down) ends the process once
// the routine returns, so the routine holds on until the tool has finished, at most the
// few seconds the system allows.

#include <windows.h>

#include <mutex>

#include "tools/common/interrupt_source.h"

namespace klv::tools {

namespace {

// Longer than a packet and its reply, shorter than the 5 s the system waits for a
// console that is being closed.
constexpr DWORD kCloseGraceMs = 4500;

class Win32InterruptSource;

std::mutex activeMutex;
Win32InterruptSource* active = nullptr;

class Win32InterruptSource final : public InterruptSource {
  public:
    Win32InterruptSource(Handler handler, HANDLE ended)
        : handler(std::move(handler)), ended(ended) {}

    ~Win32InterruptSource() override {
        SetConsoleCtrlHandler(&Routine, FALSE);
        {
            const std::lock_guard<std::mutex> lock(activeMutex);
            active = nullptr;
        }
        SetEvent(ended);
        // The handle stays: a routine for a closing window may still wait on it, and the
        // process ends soon after this.
    }

    static BOOL WINAPI Routine(DWORD type) {
        HANDLE endedEvent = nullptr;
        {
            const std::lock_guard<std::mutex> lock(activeMutex);
            if (active == nullptr) {
                return FALSE;
            }
            const InterruptKind kind =
                type == CTRL_C_EVENT ? InterruptKind::Interrupt : InterruptKind::Terminate;
            active->handler(kind);
            endedEvent = active->ended;
        }
        if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
            // Returning lets the system end the process: give the stop between two packets
            // its time first.
            WaitForSingleObject(endedEvent, kCloseGraceMs);
        }
        return TRUE;
    }

  private:
    const Handler handler;
    const HANDLE ended;
};

}  // namespace

std::unique_ptr<InterruptSource> InterruptSource::Start(Handler handler) {
    const HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ended == nullptr) {
        return nullptr;
    }
    auto source = std::make_unique<Win32InterruptSource>(std::move(handler), ended);
    {
        const std::lock_guard<std::mutex> lock(activeMutex);
        active = source.get();
    }
    if (!SetConsoleCtrlHandler(&Win32InterruptSource::Routine, TRUE)) {
        const std::lock_guard<std::mutex> lock(activeMutex);
        active = nullptr;
        return nullptr;
    }
    return source;
}

}  // namespace klv::tools
