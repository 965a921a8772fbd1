#include "ui/fwupdate_klv_r20p_dlg.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <system_error>
#include <thread>

#include "platform/sleep.h"
#include "package/package_integrity.h"
#include "package/package_resource.h"
#include "ui/resource_ids.h"

namespace {

constexpr int kEndResultCancel = 2;  // IDCANCEL
constexpr int kPollMs = 10;
constexpr uint16_t kErrorDeviceGone = 3;
constexpr uint16_t kErrorPackage = 96;
constexpr uint16_t kErrorNoPackageLoaded = 255;

// What a screen does to one control. Keep leaves the control as it is.
enum class Change { Keep, Show, Hide };

enum class VersionText { Keep, Package, ErrorNumber };

struct ScreenLook {
    int messageText;  // string id, 0: keep
    VersionText versionText;
    Change version;
    Change no;
    Change yes;
    Change close;  // Show: enabled, Hide: disabled
    Change ok;
};

// Indexed by screen code. The error screen's texts depend on the code it shows and are
// filled in by ShowScreen.
constexpr std::array<ScreenLook, 7> kLooks{{
    /* Init */ {IDS_WAITING, VersionText::Keep, Change::Hide, Change::Hide, Change::Hide,
                Change::Show, Change::Hide},
    /* Waiting */
    {IDS_WAITING, VersionText::Keep, Change::Hide, Change::Hide, Change::Hide, Change::Show,
     Change::Hide},
    /* Connecting */
    {0, VersionText::Keep, Change::Keep, Change::Keep, Change::Keep, Change::Keep, Change::Keep},
    /* Confirm */
    {IDS_CONFIRM, VersionText::Package, Change::Show, Change::Show, Change::Show, Change::Show,
     Change::Hide},
    /* Loading */
    {IDS_LOADING, VersionText::Keep, Change::Hide, Change::Hide, Change::Hide, Change::Hide,
     Change::Hide},
    /* Error */
    {IDS_ERROR, VersionText::ErrorNumber, Change::Show, Change::Hide, Change::Hide, Change::Show,
     Change::Show},
    /* Done */
    {IDS_DONE, VersionText::Keep, Change::Hide, Change::Hide, Change::Hide, Change::Show,
     Change::Show},
}};

// The instrument's model or version is not served by this package.
bool IsUnableCode(uint16_t code) {
    return code == 16 || code == 17;
}

std::u16string Digits(uint16_t code) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", static_cast<int>(code));
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

void Apply(DialogControl& control, Change change) {
    if (change != Change::Keep) {
        control.Show(change == Change::Show);
    }
}

int32_t ReadShared(int32_t& field) {
    return std::atomic_ref<int32_t>(field).load();
}

bool StartDetachedThread(std::function<void()> worker) {
    try {
        std::thread(std::move(worker)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace

FWUpdate_KLV_R20P_Dlg::FWUpdate_KLV_R20P_Dlg(DialogWindow& window, DialogParts parts)
    : window(window),
      yesButton(window),
      noButton(window),
      okButton(window),
      messageLabel(window),
      versionLabel(window),
      ports(parts.ports ? std::move(parts.ports) : CreateSystemPortEnumerator()),
      port(parts.serialDevice ? std::move(parts.serialDevice) : CreateSystemSerialDevice()),
      attachedPort(port, window),
      startWorker(parts.startWorker ? std::move(parts.startWorker) : StartDetachedThread) {
    // No screen yet: the start-up's first ShowScreen always draws.
    screen = -1;
    if (parts.settleSleep != nullptr) {
        protocol.sleepMs = parts.settleSleep;
    }
    icon = window.LoadAppIcon();
}

FWUpdate_KLV_R20P_Dlg::~FWUpdate_KLV_R20P_Dlg() {
    // The dialog ends only after the quit handshake; should it be destroyed without one,
    // the worker must still be gone before the members it uses.
    if (workerStarted && workerState.load() != WorkerEnded) {
        quitRequested = 1;
        wakeEvent.Set();
        WaitForWorker(WorkerEnded);
    }
    fwPackage.Release();
}

bool FWUpdate_KLV_R20P_Dlg::OnInitDialog() {
    window.InitBase();
    yesButton.Bind(IDC_YES_BUTTON);
    noButton.Bind(IDC_NO_BUTTON);
    okButton.Bind(IDC_OK_BUTTON);
    messageLabel.Bind(IDC_MESSAGE);
    versionLabel.Bind(IDC_VERSION);
    window.SetIcons(icon);
    window.ShowDialog();
    window.SetTitle(window.LoadText(IDS_TITLE));

    workerState = WorkerStarting;
    quitRequested = 0;
    displayError = 0;
    ShowScreen(ScreenInit);

    messageFont = window.EnlargeMessageFont(IDC_MESSAGE);

    ShowScreen(ScreenWaiting);
    workerStarted = startWorker([this] { UpdateWorker(); });
    if (!workerStarted) {
        // Without a worker no package is loaded and nothing can run; say so instead of
        // waiting for ever. The window can still be closed.
        workerState = WorkerEnded;
        ShowError(kErrorNoPackageLoaded);
    }
    // The first scan needs the parsed package. A plain wait: the system hands sent
    // messages (WM_DEVICECHANGE among them) to a thread that serves them, and a scan
    // here would read the package while the worker is still filling it in. The worker
    // reports the package step before it changes any control, so nothing waits for us.
    while (workerState.load() == WorkerStarting) {
        SleepMs(kPollMs);
    }
    // An instrument plugged in before the start is found without a notification.
    OnDeviceChange(0, 0);
    return true;
}

void FWUpdate_KLV_R20P_Dlg::ShowScreen(int code) {
    // Nothing to hand over: the screen is shown already (checked again on the GUI thread).
    if (code == screen.load() && code != ScreenError) {
        return;
    }
    // A screen is changed whole on the GUI thread: a handler there never sees a screen
    // that the worker has stored but not yet drawn, nor draws between its changes.
    window.RunOnWindowThread([this, code] { ShowScreenHere(code); });
}

void FWUpdate_KLV_R20P_Dlg::ShowScreenHere(int code) {
    if (code == screen.load() && code != ScreenError) {
        return;
    }
    // Stored before any control changes: the labels' colour follows it as they repaint.
    screen = code;
    if (code < 0 || code >= static_cast<int>(kLooks.size())) {
        return;
    }
    ScreenLook look = kLooks[code];
    const uint16_t shownError = displayError.load();
    if (code == ScreenError && IsUnableCode(shownError)) {
        look.messageText = IDS_UNABLE;
        look.versionText = VersionText::Keep;
        look.version = Change::Hide;
    }

    if (look.messageText != 0) {
        messageLabel.SetText(window.LoadText(look.messageText));
    }
    if (look.versionText == VersionText::Package) {
        versionLabel.SetText(window.FromAnsi(fwPackage.versionText));
    } else if (look.versionText == VersionText::ErrorNumber) {
        versionLabel.SetText(Digits(shownError));
    }
    Apply(versionLabel, look.version);
    Apply(noButton, look.no);
    Apply(yesButton, look.yes);
    if (look.close != Change::Keep) {
        window.EnableCloseCommand(look.close == Change::Show);
    }
    Apply(okButton, look.ok);
}

void FWUpdate_KLV_R20P_Dlg::ShowError(uint16_t code) {
    displayError = code;
    ShowScreen(ScreenError);
}

void FWUpdate_KLV_R20P_Dlg::ShowCurrentError() {
    ShowScreen(ScreenError);
}

int FWUpdate_KLV_R20P_Dlg::UpdateWorker() {
    if (!fwPackage.LoadFromResource()) {
        // Ready first: the GUI thread is waiting for it and cannot serve the error
        // screen's changes before.
        workerState = WorkerReady;
        ShowError(kErrorPackage);
        workerState = WorkerEnded;
        return -1;
    }
    // A package that carries a digest and does not match it was damaged on its way
    // into this program: refused like one that cannot be used. Decided before the GUI
    // thread's first scan.
    const bool damaged =
        klv::package::EmbeddedPackageIntegrity() == klv::package::Integrity::Mismatch;
    protocol.package = &fwPackage;
    workerState = WorkerReady;
    if (!fwPackage.IsUsable() || damaged) {
        ShowError(kErrorPackage);
    }
    for (;;) {
        if (quitRequested.load() != 0) {
            break;
        }
        wakeEvent.Wait();
        if (quitRequested.load() != 0) {
            break;
        }
        switch (screen.load()) {
            case ScreenConnecting:
                if (protocol.Connect() == 0) {
                    protocol.CheckVersion();
                }
                break;
            case ScreenLoading:
                protocol.Transfer();
                break;
            default:
                ShowCurrentError();
                break;
        }
    }
    workerState = WorkerEnded;
    return 0;
}

void FWUpdate_KLV_R20P_Dlg::Notify(MTUpdateProtocol& source) {
    if (&source != &protocol) {
        return;
    }
    switch (ReadShared(source.status)) {
        case 0:
        case 1:
        case StatusConnecting:
            return;
        case StatusAwaitingConfirm:
            ShowScreen(ScreenConfirm);
            return;
        case StatusSendingImage2:
        case StatusSendingImage1:
        case StatusFinishing:
            ShowScreen(ScreenLoading);
            return;
        case StatusCompleted:
            ShowScreen(ScreenDone);
            return;
        default:
            ShowError(static_cast<uint16_t>(ReadShared(source.errorCode)));
            return;
    }
}

unsigned FWUpdate_KLV_R20P_Dlg::OnDeviceChange(unsigned /*eventType*/, uintptr_t /*data*/) {
    // A call of the aborted sequence is still on its way into the port: opening the port
    // again now could hand it the new connection. The next notification scans.
    if (attachedPort.ClosedWhileInUse()) {
        return 0;
    }
    // Every notification scans, whatever it announces, and so does every screen: on
    // the final screens the scan may still open or close the port.
    const int result = ScanForDevice(port, fwPackage, *ports);
    const int current = screen.load();
    if (current == ScreenError || current == ScreenDone) {
        return 0;
    }
    if (result == ScanAttached) {
        if (current == ScreenWaiting) {
            protocol.transport = &attachedPort;
            protocol.callback = this;
            ShowScreen(ScreenConnecting);
            wakeEvent.Set();
        }
    } else if (result == ScanDetached) {
        protocol.Detach();
        // Detach has already reported an unplug during the question; this covers the
        // case where the protocol was not awaiting the answer.
        if (screen.load() == ScreenConfirm) {
            ShowError(kErrorDeviceGone);
        }
    }
    return 0;
}

void FWUpdate_KLV_R20P_Dlg::OnYes() {
    if (screen.load() != ScreenConfirm) {
        ShowCurrentError();
        return;
    }
    ShowScreen(ScreenLoading);
    wakeEvent.Set();
}

void FWUpdate_KLV_R20P_Dlg::OnQuit() {
    const int current = screen.load();
    // A sequence may be running: the dialog stays.
    if (current == ScreenConnecting || current == ScreenLoading) {
        return;
    }
    quitRequested = 1;
    wakeEvent.Set();
    WaitForWorker(WorkerEnded);
    window.EndDialog(kEndResultCancel);
}

void FWUpdate_KLV_R20P_Dlg::OnIdOk() {
    // Enter neither closes the dialog nor answers the question.
}

bool FWUpdate_KLV_R20P_Dlg::DrawsInRed(int controlId) const {
    return (controlId == IDC_MESSAGE || controlId == IDC_VERSION) && screen.load() == ScreenError;
}

void FWUpdate_KLV_R20P_Dlg::WaitForWorker(int32_t until) {
    // The worker may be waiting for this thread to carry out a control change, so the
    // wait serves those changes instead of only sleeping.
    while (workerState.load() != until) {
        window.ServeFor(kPollMs);
    }
}
