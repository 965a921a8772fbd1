#pragma once
// A window for the controller's tests. Like a real dialog it belongs to one thread, the
// one that made it (the test's thread, standing in for the GUI thread). Its controls
// change only there; work handed over from another thread waits in a queue until that
// thread serves it, in ServeFor (the controller's waits) or in ServeUntil (the test's
// message loop).

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ui/dialog_window.h"

struct ControlState {
    std::u16string text;
    bool visible = false;
};

class FakeDialogWindow final : public DialogWindow {
  public:
    FakeDialogWindow();
    ~FakeDialogWindow() = default;

    IconHandle LoadAppIcon() override;
    void InitBase() override;
    void SetIcons(IconHandle icon) override;
    void ShowDialog() override;
    void SetTitle(const std::u16string& title) override;
    std::unique_ptr<Font> EnlargeMessageFont(int controlId) override;

    void SetControlText(int controlId, const std::u16string& text) override;
    void ShowControl(int controlId, bool visible) override;
    void EnableCloseCommand(bool enabled) override;

    void RunOnWindowThread(const std::function<void()>& work) override;
    std::u16string LoadText(int stringId) override;
    std::u16string FromAnsi(const char* text) override;

    void EndDialog(int result) override;
    void ServeFor(int ms) override;

    // --- for the tests, on the window's thread ---
    // Serves the queued changes until done() holds; false when it did not come about
    // within a generous limit (the test then fails instead of hanging).
    bool ServeUntil(const std::function<bool()>& done);

    const ControlState& Control(int id) const { return controls.at(id); }
    bool closeEnabled = true;
    std::optional<int> endResult;
    std::u16string title;
    bool fontMade = false;
    // A message that another thread or program sent to the window: the system delivers
    // it, once, the next time the window's thread serves sent messages (ServeFor, and
    // the message loop that ServeUntil stands for).
    std::function<void()> sentMessage;
    // Called on every control change, before it is made.
    std::function<void()> beforeChange;
    // Presentation steps and control changes in the order they happened.
    std::vector<std::string> log;

  private:
    void OnWindowThread(const char* what);
    void ServeQueued();
    void DeliverSent();

    struct Pending {
        std::function<void()> work;
        bool done = false;
    };

    const std::thread::id windowThread;
    std::map<int, ControlState> controls;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Pending*> queue;
};
