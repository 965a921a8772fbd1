#include "tests/ui/fake_dialog_window.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "ui/resource_ids.h"

namespace {

// Long enough for any healthy run; reaching it means the controller is stuck.
constexpr auto kStuck = std::chrono::seconds(20);

class FakeFont final : public DialogWindow::Font {};

std::string Describe(int id, const std::u16string& text) {
    std::string narrow(text.begin(), text.end());
    return "text " + std::to_string(id) + " " + narrow;
}

}  // namespace

FakeDialogWindow::FakeDialogWindow() : windowThread(std::this_thread::get_id()) {
    // The template's controls and their initial state.
    controls[IDC_DEFAULT] = {u"Button1", false};
    controls[IDC_OK_BUTTON] = {u"OK", true};
    controls[IDC_NO_BUTTON] = {u"NO", true};
    controls[IDC_YES_BUTTON] = {u"YES", true};
    controls[IDC_MESSAGE] = {u"PROGRAM UPDATE", true};
    controls[IDC_VERSION] = {u"Ver. 00.0000", false};
}

DialogWindow::IconHandle FakeDialogWindow::LoadAppIcon() {
    static int icon;
    log.push_back("load icon");
    return &icon;
}

void FakeDialogWindow::InitBase() {
    log.push_back("base init");
}
void FakeDialogWindow::SetIcons(IconHandle) {
    log.push_back("icons");
}
void FakeDialogWindow::ShowDialog() {
    log.push_back("show dialog");
}

void FakeDialogWindow::SetTitle(const std::u16string& text) {
    title = text;
    log.push_back("title");
}

std::unique_ptr<DialogWindow::Font> FakeDialogWindow::EnlargeMessageFont(int controlId) {
    fontMade = true;
    log.push_back("font " + std::to_string(controlId));
    return std::make_unique<FakeFont>();
}

void FakeDialogWindow::SetControlText(int controlId, const std::u16string& text) {
    OnWindowThread("SetControlText");
    if (beforeChange) {
        beforeChange();
    }
    controls.at(controlId).text = text;
    log.push_back(Describe(controlId, text));
}

void FakeDialogWindow::ShowControl(int controlId, bool visible) {
    OnWindowThread("ShowControl");
    if (beforeChange) {
        beforeChange();
    }
    controls.at(controlId).visible = visible;
    log.push_back((visible ? "show " : "hide ") + std::to_string(controlId));
}

void FakeDialogWindow::EnableCloseCommand(bool enabled) {
    OnWindowThread("EnableCloseCommand");
    if (beforeChange) {
        beforeChange();
    }
    closeEnabled = enabled;
    log.push_back(enabled ? "close enabled" : "close disabled");
}

std::u16string FakeDialogWindow::LoadText(int stringId) {
    switch (stringId) {
        case IDS_YES:
            return u"YES";
        case IDS_NO:
            return u"NO";
        case IDS_CONFIRM:
            return u"PROGRAM UPDATE";
        case IDS_LOADING:
            return u"\r\nNOW LOADING";
        case IDS_DONE:
            return u"Please disconnect the\r\ncable after the LED\r\nflashing ends.";
        case IDS_ERROR:
            return u"ERROR!";
        case IDS_VERSION_PREFIX:
            return u"VER. ";
        case IDS_WAITING:
            return u"\r\nWAITING...";
        case IDS_TITLE:
            return u"KLV-Series FW Updater";
        case IDS_UNABLE:
            return u"\r\nUNABLE TO UPDATE";
        default:
            return u"";
    }
}

std::u16string FakeDialogWindow::FromAnsi(const char* text) {
    // Latin-1 stands in for the thread's code page.
    std::u16string wide;
    for (const char* p = text; *p != '\0'; ++p) {
        wide.push_back(static_cast<unsigned char>(*p));
    }
    return wide;
}

void FakeDialogWindow::EndDialog(int result) {
    OnWindowThread("EndDialog");
    endResult = result;
    log.push_back("end " + std::to_string(result));
}

void FakeDialogWindow::OnWindowThread(const char* what) {
    // A real window would be changed behind its owner's back, or not at all.
    if (std::this_thread::get_id() != windowThread) {
        std::fprintf(stderr, "%s called off the window's thread\n", what);
        std::abort();
    }
}

void FakeDialogWindow::RunOnWindowThread(const std::function<void()>& work) {
    if (std::this_thread::get_id() == windowThread) {
        work();
        return;
    }
    Pending pending{work};
    std::unique_lock lock(mutex);
    queue.push_back(&pending);
    changed.notify_all();
    changed.wait(lock, [&] { return pending.done; });
}

void FakeDialogWindow::ServeQueued() {
    std::unique_lock lock(mutex);
    while (!queue.empty()) {
        Pending* next = queue.front();
        queue.pop_front();
        lock.unlock();
        next->work();
        lock.lock();
        next->done = true;
        changed.notify_all();
    }
}

void FakeDialogWindow::DeliverSent() {
    if (sentMessage) {
        const std::function<void()> message = std::move(sentMessage);
        sentMessage = nullptr;
        message();
    }
}

void FakeDialogWindow::ServeFor(int ms) {
    OnWindowThread("ServeFor");
    DeliverSent();
    ServeQueued();
    if (ms > 0) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !queue.empty(); });
    }
    ServeQueued();
}

bool FakeDialogWindow::ServeUntil(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + kStuck;
    for (;;) {
        DeliverSent();
        ServeQueued();
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::milliseconds(5), [this] { return !queue.empty(); });
    }
}
