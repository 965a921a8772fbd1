// The updater's controller over a fake window, the simulated instrument and a fake
// port table, with its real worker thread.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "package/testing/fake_package_resource.h"
#include "tests/ui/instrument_rig.h"
#include "ui/resource_ids.h"

namespace {

using ::testing::ElementsAre;

// Turns a wait that never ends into a failed test run instead of a hung one.
class HangGuard {
  public:
    explicit HangGuard(const char* what)
        : watcher([this, what] {
              std::unique_lock lock(mutex);
              if (!changed.wait_for(lock, std::chrono::seconds(30), [this] { return done; })) {
                  std::fprintf(stderr, "%s never returned\n", what);
                  std::_Exit(1);
              }
          }) {}
    ~HangGuard() {
        {
            std::lock_guard lock(mutex);
            done = true;
        }
        changed.notify_all();
        watcher.join();
    }

  private:
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    std::thread watcher;
};

enum class Event { Plug, Unplug, Yes, Quit, Enter, ForeignNotify };

const char* EventName(Event event) {
    switch (event) {
        case Event::Plug:
            return "Plug";
        case Event::Unplug:
            return "Unplug";
        case Event::Yes:
            return "Yes";
        case Event::Quit:
            return "Quit";
        case Event::Enter:
            return "Enter";
        case Event::ForeignNotify:
            return "ForeignNotify";
    }
    return "?";
}

const char* ScreenName(int screen) {
    static const char* const names[] = {"Init",    "Waiting", "Connecting", "Confirm",
                                        "Loading", "Error",   "Done"};
    return screen >= 0 && screen < 7 ? names[screen] : "?";
}

// Brings a rig to a screen and holds it there: the connection waits for a reply, the
// transfer waits in its settle wait, and the error screen is the unusable package's.
std::unique_ptr<ControllerRig> RigOn(int screen) {
    RigOptions options;
    options.holdSettleWait = true;
    if (screen == ScreenWaiting || screen == ScreenConnecting) {
        options.holdReads = true;
    }
    if (screen == ScreenError) {
        options.package = PackageKind::WithoutImage1;
    }
    auto rig = std::make_unique<ControllerRig>(std::move(options));
    rig->Start();
    switch (screen) {
        case ScreenWaiting:
            break;
        case ScreenConnecting:
            rig->Plug();
            EXPECT_TRUE(rig->ServeUntilReadHeld());
            break;
        case ScreenConfirm:
            rig->Plug();
            break;
        case ScreenLoading:
        case ScreenDone:
            rig->Plug();
            EXPECT_TRUE(rig->ServeUntilScreen(ScreenConfirm));
            rig->dlg->OnYes();
            EXPECT_TRUE(rig->ServeUntilSettleWait());
            if (screen == ScreenDone) {
                rig->ReleaseSettleWait();
            }
            break;
    }
    EXPECT_TRUE(rig->ServeUntilScreen(screen))
        << "never reached " << ScreenName(screen) << ", on " << ScreenName(rig->dlg->screen)
        << " showing " << ::testing::PrintToString(Shown(rig->window));
    return rig;
}

void Apply(ControllerRig& rig, Event event) {
    switch (event) {
        case Event::Plug:
            rig.Plug();
            break;
        case Event::Unplug:
            rig.Unplug();
            break;
        case Event::Yes:
            rig.dlg->OnYes();
            break;
        case Event::Quit:
            rig.dlg->OnQuit();
            break;
        case Event::Enter:
            rig.dlg->OnIdOk();
            break;
        case Event::ForeignNotify: {
            // Another connection's failure is none of this dialog's business.
            MTUpdateProtocol other;
            other.status = StatusLinkFailed;
            other.errorCode = 1;
            rig.dlg->Notify(other);
            break;
        }
    }
}

struct Transition {
    int from;
    Event event;
    int to;
    uint16_t code;  // shown by the error screen
    bool ends;
};

void PrintTo(const Transition& t, std::ostream* out) {
    *out << ScreenName(t.from) << " + " << EventName(t.event);
}

class ScreenTransitions : public ::testing::TestWithParam<Transition> {};

// Every screen against every event; the screen right after the handler has returned.
// Where a worker's report decides the outcome (unplugging while connecting), it has
// been carried out by the time the handler returns: the handler's wait serves it.
const Transition kTransitions[] = {
    {ScreenWaiting, Event::Plug, ScreenConnecting, 0, false},
    {ScreenWaiting, Event::Unplug, ScreenWaiting, 0, false},
    {ScreenWaiting, Event::Yes, ScreenError, 0, false},
    {ScreenWaiting, Event::Quit, ScreenWaiting, 0, true},
    {ScreenWaiting, Event::Enter, ScreenWaiting, 0, false},
    {ScreenWaiting, Event::ForeignNotify, ScreenWaiting, 0, false},

    {ScreenConnecting, Event::Plug, ScreenConnecting, 0, false},
    {ScreenConnecting, Event::Unplug, ScreenError, 1, false},
    {ScreenConnecting, Event::Yes, ScreenError, 0, false},
    {ScreenConnecting, Event::Quit, ScreenConnecting, 0, false},
    {ScreenConnecting, Event::Enter, ScreenConnecting, 0, false},
    {ScreenConnecting, Event::ForeignNotify, ScreenConnecting, 0, false},

    {ScreenConfirm, Event::Plug, ScreenConfirm, 0, false},
    {ScreenConfirm, Event::Unplug, ScreenError, 3, false},
    {ScreenConfirm, Event::Yes, ScreenLoading, 0, false},
    {ScreenConfirm, Event::Quit, ScreenConfirm, 0, true},
    {ScreenConfirm, Event::Enter, ScreenConfirm, 0, false},
    {ScreenConfirm, Event::ForeignNotify, ScreenConfirm, 0, false},

    // Held in the settle wait after the finish command: an unplug no longer aborts.
    {ScreenLoading, Event::Plug, ScreenLoading, 0, false},
    {ScreenLoading, Event::Unplug, ScreenLoading, 0, false},
    {ScreenLoading, Event::Yes, ScreenError, 0, false},
    {ScreenLoading, Event::Quit, ScreenLoading, 0, false},
    {ScreenLoading, Event::Enter, ScreenLoading, 0, false},
    {ScreenLoading, Event::ForeignNotify, ScreenLoading, 0, false},

    {ScreenError, Event::Plug, ScreenError, 96, false},
    {ScreenError, Event::Unplug, ScreenError, 96, false},
    {ScreenError, Event::Yes, ScreenError, 96, false},
    {ScreenError, Event::Quit, ScreenError, 96, true},
    {ScreenError, Event::Enter, ScreenError, 96, false},
    {ScreenError, Event::ForeignNotify, ScreenError, 96, false},

    {ScreenDone, Event::Plug, ScreenDone, 0, false},
    {ScreenDone, Event::Unplug, ScreenDone, 0, false},
    {ScreenDone, Event::Yes, ScreenError, 0, false},
    {ScreenDone, Event::Quit, ScreenDone, 0, true},
    {ScreenDone, Event::Enter, ScreenDone, 0, false},
    {ScreenDone, Event::ForeignNotify, ScreenDone, 0, false},
};

TEST_P(ScreenTransitions, LeaveTheScreenAndItsLook) {
    const Transition& t = GetParam();
    auto rig = RigOn(t.from);
    ASSERT_FALSE(HasFailure());

    Apply(*rig, t.event);

    EXPECT_EQ(rig->dlg->screen.load(), t.to) << ScreenName(rig->dlg->screen.load());
    EXPECT_EQ(Shown(rig->window), Expected(t.to, t.code));
    EXPECT_EQ(rig->window.endResult.has_value(), t.ends);
    if (t.ends) {
        EXPECT_EQ(*rig->window.endResult, 2);  // IDCANCEL
        EXPECT_EQ(rig->dlg->workerState.load(), WorkerEnded);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryScreenAndEvent, ScreenTransitions, ::testing::ValuesIn(kTransitions),
                         [](const auto& info) {
                             return std::string(ScreenName(info.param.from)) +
                                    EventName(info.param.event);
                         });

TEST(Attach, OnlyTheWaitingScreenAttachesTheInstrument) {
    // The unusable package's error screen: the scan opens the port, nothing is attached.
    auto rig = RigOn(ScreenError);
    rig->Plug();
    EXPECT_EQ(rig->dlg->port.currentPortName, u"COM5");
    EXPECT_EQ(rig->dlg->protocol.transport.load(), nullptr);
    EXPECT_EQ(rig->engine.Report().syncs, 0);
}

TEST(Attach, AnInstrumentFoundAgainDuringTheSettleWaitIsNotAttached) {
    auto rig = RigOn(ScreenLoading);  // held in the settle wait after the finish command
    rig->Unplug();                    // the scan closes the port; finishing is not aborted
    ASSERT_EQ(rig->dlg->protocol.transport.load(), nullptr);
    rig->Plug();  // the scan opens the port again: ScanAttached, but not while waiting
    EXPECT_TRUE(rig->cable->open);
    EXPECT_EQ(rig->dlg->protocol.transport.load(), nullptr);
    EXPECT_EQ(rig->dlg->screen.load(), ScreenLoading);
    EXPECT_EQ(Shown(rig->window), Expected(ScreenLoading));
    rig->ReleaseSettleWait();
    EXPECT_TRUE(rig->ServeUntilScreen(ScreenDone));
}

TEST(Attach, AnInstrumentPluggedInBeforeTheStartIsFoundByTheFirstScan) {
    RigOptions options;
    options.pluggedAtStart = true;
    ControllerRig rig(std::move(options));
    rig.Start();
    EXPECT_TRUE(rig.ServeUntilScreen(ScreenConfirm));
}

TEST(DeviceChange, EveryNotificationScansWhateverItSays) {
    struct Case {
        unsigned type;
        uintptr_t data;
    };
    const Case cases[] = {{0, 0},      {7, 0},          {0x8000, 1234}, {0x8004, ~uintptr_t{0}},
                          {0x0018, 0}, {0xFFFFFFFFu, 0}};
    for (int screen : {ScreenWaiting, ScreenError}) {
        auto rig = RigOn(screen);
        for (const Case& c : cases) {
            const int before = rig->cable->scans;
            EXPECT_EQ(rig->dlg->OnDeviceChange(c.type, c.data), 0u);
            EXPECT_EQ(rig->cable->scans, before + 1) << "type " << c.type << " on " << screen;
        }
    }
}

TEST(Update, RunsFromQuestionToDoneAndTheInstrumentGetsBothImages) {
    ControllerRig rig;
    rig.Start();
    rig.Plug();
    ASSERT_TRUE(rig.ServeUntilScreen(ScreenConfirm));
    rig.dlg->OnIdOk();  // Enter answers nothing
    EXPECT_EQ(rig.dlg->screen.load(), ScreenConfirm);
    rig.dlg->OnYes();
    ASSERT_TRUE(rig.ServeUntilScreen(ScreenDone));

    // The instrument notes the finish only after its acknowledgement is on the cable, so
    // the dialog can show Done first.
    EXPECT_TRUE(rig.window.ServeUntil([&] { return rig.engine.Report().finished; }));
    const InstrumentReport report = rig.engine.Report();
    EXPECT_THAT(report.violations, ::testing::IsEmpty());
    EXPECT_TRUE(report.finished);
    EXPECT_TRUE(rig.engine.ImagesMatch(rig.Package()));

    rig.dlg->OnQuit();  // OK
    EXPECT_EQ(rig.window.endResult, 2);
}

// How the instrument or the package makes an update fail, and what the user sees.
struct Failure {
    const char* name;
    PackageKind package;
    std::vector<Fault> faults;
    ModelId model;
    std::vector<std::string> versions;
    bool confirm;  // the failure comes after YES
    uint16_t code;
};

class Failures : public ::testing::TestWithParam<Failure> {};

const ModelId kMatchingModel = {'K', 'L', 'V', '2'};
const std::vector<std::string> kMatchingVersions = {"BOOT-01.0002", "R20P-03.0005"};

const Failure kFailures[] = {
    {"ModelNotServed", PackageKind::Usable, {}, {'K', 'L', 'V', '9'}, kMatchingVersions, false, 16},
    {"VersionNotServed", PackageKind::Usable, {}, kMatchingModel, {"R20P-02.0001"}, false, 17},
    {"SyncReplyMalformed",
     PackageKind::Usable,
     {{FaultStep::Sync, 0, FaultKind::MalformedHeader, 0}},
     kMatchingModel,
     kMatchingVersions,
     false,
     1},
    {"VersionEntryMalformed",
     PackageKind::Usable,
     {{FaultStep::VersionEntry, 1, FaultKind::MalformedHeader, 0}},
     kMatchingModel,
     kMatchingVersions,
     false,
     2},
    {"ImageChunkRefused",
     PackageKind::Usable,
     {{FaultStep::Image1Chunk, 1, FaultKind::UnexpectedReply, 0}},
     kMatchingModel,
     kMatchingVersions,
     true,
     3},
    {"FinishRefused",
     PackageKind::Usable,
     {{FaultStep::Finish, 0, FaultKind::UnexpectedReply, 0}},
     kMatchingModel,
     kMatchingVersions,
     true,
     3},
};

TEST_P(Failures, EndOnTheErrorScreenWithTheirCode) {
    const Failure& f = GetParam();
    RigOptions options;
    options.package = f.package;
    options.instrument.faults = f.faults;
    options.instrument.modelId = f.model;
    options.instrument.versions = f.versions;
    ControllerRig rig(std::move(options));
    rig.Start();
    rig.Plug();
    if (f.confirm) {
        ASSERT_TRUE(rig.ServeUntilScreen(ScreenConfirm));
        rig.dlg->OnYes();
    }
    ASSERT_TRUE(rig.ServeUntilScreen(ScreenError)) << ::testing::PrintToString(Shown(rig.window));
    EXPECT_EQ(rig.dlg->displayError.load(), f.code);
    EXPECT_EQ(Shown(rig.window), Expected(ScreenError, f.code));
}

INSTANTIATE_TEST_SUITE_P(FromTheInstrument, Failures, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Package, MissingEndsTheWorkerAndOkEndsTheDialogAtOnce) {
    RigOptions options;
    options.package = PackageKind::Missing;
    ControllerRig rig(std::move(options));
    rig.Start();
    ASSERT_TRUE(rig.ServeUntilScreen(ScreenError));
    EXPECT_EQ(Shown(rig.window), Expected(ScreenError, 96));
    ASSERT_TRUE(rig.window.ServeUntil([&] { return rig.dlg->workerState == WorkerEnded; }));
    rig.dlg->OnQuit();
    EXPECT_EQ(rig.window.endResult, 2);
}

TEST(Package, UnusableShows96AndAnInstrumentIsNeverTalkedTo) {
    RigOptions options;
    options.package = PackageKind::WithoutImage1;
    ControllerRig rig(std::move(options));
    rig.Start();
    ASSERT_TRUE(rig.ServeUntilScreen(ScreenError));
    EXPECT_EQ(rig.dlg->workerState.load(), WorkerReady);  // still waiting to be woken
    rig.Plug();
    EXPECT_EQ(rig.engine.Report().packetsReceived, 0);
    EXPECT_EQ(Shown(rig.window), Expected(ScreenError, 96));
    rig.dlg->OnQuit();
    EXPECT_EQ(rig.window.endResult, 2);
}

// The package's digest, decided before the first scan: a matching one and none at all
// both let the instrument be updated; one that does not match shows 96 like an
// unusable package, and no instrument is talked to.
struct DigestCase {
    const char* name;
    PackageKind package;
    bool refused;
};

void PrintTo(const DigestCase& c, std::ostream* os) {
    *os << c.name;
}

class PackageDigest : public ::testing::TestWithParam<DigestCase> {};

TEST_P(PackageDigest, DecidesWhetherAnInstrumentIsTalkedTo) {
    RigOptions options;
    options.package = GetParam().package;
    ControllerRig rig(std::move(options));
    rig.Start();
    if (GetParam().refused) {
        ASSERT_TRUE(rig.ServeUntilScreen(ScreenError));
        EXPECT_EQ(rig.dlg->workerState.load(), WorkerReady);
        rig.Plug();
        EXPECT_EQ(rig.engine.Report().packetsReceived, 0);
        EXPECT_EQ(Shown(rig.window), Expected(ScreenError, 96));
    } else {
        rig.Plug();
        ASSERT_TRUE(rig.ServeUntilScreen(ScreenConfirm));
        EXPECT_TRUE(rig.Package().IsUsable());
    }
    rig.dlg->OnQuit();
    EXPECT_EQ(rig.window.endResult, 2);
}

const DigestCase kDigestCases[] = {
    {"Matching", PackageKind::Sealed, false},
    {"Absent", PackageKind::Usable, false},
    {"Mismatched", PackageKind::Damaged, true},
};

INSTANTIATE_TEST_SUITE_P(Packages, PackageDigest, ::testing::ValuesIn(kDigestCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The sink's mapping from a status of the dialog's own protocol to a screen.
struct Report {
    int32_t status;
    int32_t errorCode;
    int screen;
    uint16_t shown;
};

class Reports : public ::testing::TestWithParam<Report> {};

const Report kReports[] = {
    {StatusInitial, 5, ScreenWaiting, 0},
    {1, 5, ScreenWaiting, 0},
    {StatusConnecting, 5, ScreenWaiting, 0},
    {StatusAwaitingConfirm, 5, ScreenConfirm, 0},
    {StatusSendingImage2, 5, ScreenLoading, 0},
    {StatusSendingImage1, 5, ScreenLoading, 0},
    {StatusFinishing, 5, ScreenLoading, 0},
    {StatusCompleted, 5, ScreenDone, 0},
    {StatusLinkFailed, 1, ScreenError, 1},
    {StatusModelRejected, 16, ScreenError, 16},
    {StatusVersionRejected, 17, ScreenError, 17},
    {StatusPackageInvalid, 15, ScreenError, 15},
    {StatusFailed, 255, ScreenError, 255},
    {StatusFailed, 3, ScreenError, 3},
    {StatusImage2Failed, 0x10003, ScreenError, 3},  // the low 16 bits
    {StatusFinishFailed, 80, ScreenError, 80},
    {17, 96, ScreenError, 96},  // any status above the last one is a failure
    {-1, 2, ScreenError, 2},
};

TEST_P(Reports, PickTheScreen) {
    const Report& r = GetParam();
    auto rig = RigOn(ScreenWaiting);
    rig->dlg->protocol.status = r.status;
    rig->dlg->protocol.errorCode = r.errorCode;
    rig->dlg->Notify(rig->dlg->protocol);
    EXPECT_EQ(rig->dlg->screen.load(), r.screen);
    EXPECT_EQ(Shown(rig->window), Expected(r.screen, r.shown));
}

INSTANTIATE_TEST_SUITE_P(OwnProtocol, Reports, ::testing::ValuesIn(kReports), [](const auto& info) {
    const Report& r = info.param;
    return "Status" + std::to_string(r.status < 0 ? 1000 : r.status) + "Code" +
           std::to_string(r.errorCode);
});

TEST(ShowScreen, RedrawsOnlyTheErrorScreenWhenItIsShownAgain) {
    auto rig = RigOn(ScreenLoading);
    const size_t before = rig->window.log.size();
    rig->dlg->ShowScreen(ScreenLoading);
    EXPECT_EQ(rig->window.log.size(), before);

    rig->dlg->displayError = 3;
    rig->dlg->ShowScreen(ScreenError);
    rig->dlg->displayError = 17;
    rig->dlg->ShowScreen(ScreenError);
    EXPECT_EQ(Shown(rig->window), Expected(ScreenError, 17));
    // The number the unable screen hides keeps its last text.
    EXPECT_EQ(rig->window.Control(IDC_VERSION).text, u"03");
}

TEST(ShowScreen, ChangesTheControlsInOrderAfterStoringTheScreen) {
    auto rig = RigOn(ScreenWaiting);
    rig->window.log.clear();
    std::vector<int> screenAtEachChange;
    rig->window.beforeChange = [&] { screenAtEachChange.push_back(rig->dlg->screen.load()); };
    rig->dlg->displayError = 7;
    rig->dlg->ShowScreen(ScreenError);
    rig->window.beforeChange = nullptr;
    // The colour rule reads the screen while the first label repaints.
    EXPECT_THAT(screenAtEachChange, ::testing::Each(ScreenError));
    EXPECT_EQ(screenAtEachChange.size(), 7u);
    EXPECT_THAT(rig->window.log, ElementsAre("text 1002 ERROR!", "text 1003 07", "show 1003",
                                             "hide 2", "hide 1000", "close enabled", "show 1004"));
    // Both labels draw red while they repaint with the error screen's texts.
    EXPECT_TRUE(rig->dlg->DrawsInRed(IDC_MESSAGE));
    EXPECT_TRUE(rig->dlg->DrawsInRed(IDC_VERSION));
    EXPECT_FALSE(rig->dlg->DrawsInRed(IDC_OK_BUTTON));
}

TEST(StartUp, PresentsTheWindowAroundTheWaitingScreens) {
    ControllerRig rig;
    rig.Start();
    EXPECT_EQ(rig.window.title, u"KLV-Series FW Updater");
    EXPECT_THAT(rig.window.log, ::testing::IsSupersetOf({"load icon", "base init", "icons",
                                                         "show dialog", "title", "font 1002"}));
    // The font comes between the first and the second waiting screen.
    std::vector<std::string> head(rig.window.log.begin(), rig.window.log.begin() + 17);
    EXPECT_THAT(head,
                ElementsAre("load icon", "base init", "icons", "show dialog", "title",
                            "text 1002 \r\nWAITING...", "hide 1003", "hide 2", "hide 1000",
                            "close enabled", "hide 1004", "font 1002", "text 1002 \r\nWAITING...",
                            "hide 1003", "hide 2", "hide 1000", "close enabled"));
    EXPECT_EQ(rig.cable->scans, 1);
    EXPECT_FALSE(rig.dlg->DrawsInRed(IDC_MESSAGE));
}

// The package step, held until the GUI thread has served a sent message or a while has
// passed. The lookup hook is a plain function, so its state is the process's.
struct PackageStepGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    bool sentServed = false;
};
PackageStepGate packageStep;

void HoldPackageStep() {
    std::unique_lock lock(packageStep.mutex);
    packageStep.holding = true;
    packageStep.changed.wait_for(lock, std::chrono::milliseconds(300),
                                 [] { return packageStep.sentServed; });
    packageStep.holding = false;
}

TEST(StartUp, ADeviceChangeSentWhileThePackageIsReadWaitsForTheStartUpsScan) {
    RigOptions options;
    options.pluggedAtStart = true;
    ControllerRig rig(std::move(options));
    // The system delivers WM_DEVICECHANGE as a sent message: it runs wherever the GUI
    // thread serves sent messages.
    bool scannedDuringPackageStep = false;
    rig.window.sentMessage = [&] {
        {
            std::lock_guard lock(packageStep.mutex);
            scannedDuringPackageStep = packageStep.holding;
            packageStep.sentServed = true;
        }
        packageStep.changed.notify_all();
        rig.dlg->OnDeviceChange(0x8000, 0);
    };
    {
        std::lock_guard lock(packageStep.mutex);
        packageStep.sentServed = false;
    }
    SetFakeEmbeddedPackageLookupHook(HoldPackageStep);
    rig.Start();
    SetFakeEmbeddedPackageLookupHook(nullptr);

    EXPECT_FALSE(scannedDuringPackageStep);
    // Only the start-up's own scan, with the package read: it attaches the instrument.
    EXPECT_EQ(rig.cable->scans, 1);
    EXPECT_EQ(rig.dlg->screen.load(), ScreenConnecting);
    EXPECT_TRUE(rig.ServeUntilScreen(ScreenConfirm));
    EXPECT_EQ(rig.cable->scans, 2);  // the sent notification, served afterwards
}

TEST(StartUp, AWorkerThatCannotStartShowsError255AndTheWindowCloses) {
    RigOptions options;
    options.workerStarts = false;
    options.pluggedAtStart = true;
    ControllerRig rig(std::move(options));
    {
        HangGuard guard("OnInitDialog");
        rig.Start();
    }
    EXPECT_EQ(rig.dlg->screen.load(), ScreenError);
    EXPECT_EQ(Shown(rig.window), Expected(ScreenError, 255));
    EXPECT_EQ(rig.dlg->workerState.load(), WorkerEnded);
    EXPECT_EQ(rig.dlg->protocol.transport.load(), nullptr);  // nothing attached
    {
        HangGuard guard("OnQuit");
        rig.dlg->OnQuit();
    }
    EXPECT_EQ(rig.window.endResult, 2);
}

// The GUI thread's waits while the worker waits for the GUI thread to change a control.

TEST(Waits, QuitWhileASequenceStillRunsServesItsScreenChangesAndEndsTheDialog) {
    // YES outside the question lets the dialog quit while the connection is still
    // running; the connection's next screen change then waits for the GUI thread, which
    // is waiting for the worker.
    auto rig = RigOn(ScreenConnecting);
    rig->dlg->OnYes();
    ASSERT_EQ(rig->dlg->screen.load(), ScreenError);
    rig->cable->Release();

    {
        HangGuard guard("OnQuit");
        rig->dlg->OnQuit();
    }

    EXPECT_EQ(rig->window.endResult, 2);
    EXPECT_EQ(rig->dlg->workerState.load(), WorkerEnded);
    EXPECT_EQ(Shown(rig->window), Expected(ScreenConfirm));
}

TEST(Waits, UnplugDuringTheTransferCarriesOutTheWorkersErrorScreenWhileDetaching) {
    ControllerRig rig;
    rig.Start();
    rig.Plug();
    ASSERT_TRUE(rig.ServeUntilScreen(ScreenConfirm));
    {
        // The instrument stops answering once the first image has started.
        std::lock_guard lock(rig.cable->mutex);
        rig.cable->holdAfterWrite = [](const uint8_t* data, int count) {
            return count >= 2 && data[0] == 0x01 && data[1] == 0x02;
        };
    }
    rig.dlg->OnYes();
    ASSERT_TRUE(rig.ServeUntilReadHeld());

    rig.Unplug();

    // Detach waited for the sequence to let go of the port; the sequence's failure
    // report, made on the worker thread, was carried out during that wait.
    EXPECT_EQ(Shown(rig.window), Expected(ScreenError, 3));
    EXPECT_EQ(rig.dlg->protocol.transport.load(), nullptr);
    EXPECT_EQ(rig.dlg->protocol.status, StatusImage2Failed);
}

}  // namespace
