#pragma once
// The updater dialog's logic: what the one window shows, when the instrument is talked
// to, and when the program may end. It runs over the DialogWindow seam; the Win32
// dialog implements the seam and forwards its messages to the handlers here.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "discovery/scan_for_device.h"
#include "package/fw_package.h"
#include "platform/auto_reset_event.h"
#include "protocol/mt_access_callback.h"
#include "protocol/mt_update_protocol.h"
#include "transport/mt_access_if_comm_port.h"
#include "transport/serial_device.h"
#include "ui/dialog_control.h"
#include "ui/dialog_window.h"
#include "ui/responsive_lock_transport.h"

enum Screen : int32_t {
    ScreenInit = 0,
    ScreenWaiting = 1,
    ScreenConnecting = 2,
    ScreenConfirm = 3,
    ScreenLoading = 4,
    ScreenError = 5,
    ScreenDone = 6,
};

enum WorkerState : int32_t {
    WorkerStarting = 0,
    WorkerReady = 1,
    WorkerEnded = 3,
};

// What the dialog is built on. Left empty, the system's serial device, the system's
// port enumerator and the real settle wait are used; tests put their own in.
struct DialogParts {
    std::unique_ptr<SerialDevice> serialDevice;
    std::unique_ptr<PortEnumerator> ports;
    void (*settleSleep)(int ms) = nullptr;
    // Starts the worker on a thread of its own; false when no thread could be started.
    std::function<bool(std::function<void()> worker)> startWorker;
};

class FWUpdate_KLV_R20P_Dlg final : public MTAccessCallback {
  public:
    explicit FWUpdate_KLV_R20P_Dlg(DialogWindow& window, DialogParts parts = {});
    ~FWUpdate_KLV_R20P_Dlg();
    FWUpdate_KLV_R20P_Dlg(const FWUpdate_KLV_R20P_Dlg&) = delete;
    FWUpdate_KLV_R20P_Dlg& operator=(const FWUpdate_KLV_R20P_Dlg&) = delete;

    // Handlers, all on the GUI thread.
    bool OnInitDialog();
    unsigned OnDeviceChange(unsigned eventType, uintptr_t data);
    void OnYes();
    void OnQuit();
    void OnIdOk();
    // Whether a static control draws its text in red.
    bool DrawsInRed(int controlId) const;
    DialogWindow::IconHandle Icon() const { return icon; }

    void Notify(MTUpdateProtocol& source) override;
    void ShowScreen(int code);

  private:
    void ShowScreenHere(int code);
    int UpdateWorker();
    void ShowError(uint16_t code);
    void ShowCurrentError();
    void WaitForWorker(int32_t until);
    DialogWindow& window;

  public:
    // Members in the order the dialog builds them; destroyed in reverse.
    DialogWindow::IconHandle icon = nullptr;
    DialogControl yesButton;
    DialogControl noButton;
    DialogControl okButton;
    DialogControl messageLabel;
    DialogControl versionLabel;
    std::atomic<int32_t> workerState{WorkerStarting};
    std::atomic<int32_t> quitRequested{0};
    AutoResetEvent wakeEvent;
    std::atomic<int32_t> screen{ScreenInit};
    std::unique_ptr<DialogWindow::Font> messageFont;
    std::atomic<uint16_t> displayError{0};
    std::unique_ptr<PortEnumerator> ports;
    MTAccessIfCommPort port;
    ResponsiveLockTransport attachedPort;
    MTUpdateProtocol protocol;
    FWPackage fwPackage;

  private:
    std::function<bool(std::function<void()> worker)> startWorker;
    bool workerStarted = false;
};
