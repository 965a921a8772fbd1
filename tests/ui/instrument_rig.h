#pragma once
// The controller in a test: the fake window, the simulated instrument behind a serial
// device over an in-memory cable, a port table that lists the instrument while it is
// plugged in, and the embedded package.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "discovery/scan_for_device.h"
#include "tests/ui/fake_dialog_window.h"
#include "tools/sim/instrument_engine.h"
#include "tools/sim/memory_link.h"
#include "transport/serial_device.h"
#include "ui/fwupdate_klv_r20p_dlg.h"

// The instrument as the host's system sees it: listed or not, its cable, and holds
// that stop the host's reads where a test needs the worker to stay.
struct Cable {
    MemoryLink link;
    std::mutex mutex;
    std::condition_variable changed;
    bool present = false;
    bool open = false;
    bool holdReads = false;
    bool readHeld = false;  // a read is waiting on the hold
    // Sets holdReads once a host write matches.
    std::function<bool(const uint8_t* data, int count)> holdAfterWrite;
    int scans = 0;

    void Release();
};

// What the package in the program holds.
// Usable carries no digest record; Sealed carries a matching digest; Damaged is Sealed
// with one bit of image1 changed afterwards.
enum class PackageKind { Usable, WithoutImage1, Missing, Sealed, Damaged };

// The instrument the test package serves.
InstrumentConfig MatchingInstrument();

struct RigOptions {
    PackageKind package = PackageKind::Usable;
    InstrumentConfig instrument = MatchingInstrument();
    bool pluggedAtStart = false;
    bool holdSettleWait = false;  // the worker stops in the settle wait after the finish command
    bool holdReads = false;       // the host's reads wait until Release
    bool workerStarts = true;     // false: the system cannot start the worker thread
};

class ControllerRig {
  public:
    explicit ControllerRig(RigOptions options = {});
    ~ControllerRig();

    void Start();   // the dialog's initialisation
    void Plug();    // a device change with the instrument listed
    void Unplug();  // a device change with the instrument gone and its cable pulled

    // Serves the window until the screen is code and the worker's changes are done.
    bool ServeUntilScreen(int code);
    bool ServeUntilSettleWait();
    bool ServeUntilReadHeld();
    void ReleaseSettleWait();

    const FWPackage& Package() const { return dlg->fwPackage; }

    FakeDialogWindow window;
    std::shared_ptr<Cable> cable;
    InstrumentEngine engine;
    std::unique_ptr<FWUpdate_KLV_R20P_Dlg> dlg;

  private:
    std::vector<uint8_t> packageBytes;
    std::thread engineThread;
};

// What the window shows, for comparison with what a screen should show.
struct Look {
    std::u16string message;
    bool versionVisible = false;
    std::u16string version;  // compared only while visible
    bool yes = false;
    bool no = false;
    bool ok = false;
    bool close = true;

    bool operator==(const Look& other) const;
};
void PrintTo(const Look& look, std::ostream* out);

Look Shown(const FakeDialogWindow& window);
// What screen code shows with error code (the error screen) or the test package's
// version text (the question).
Look Expected(int screen, uint16_t code = 0);

extern const char kTestVersionText[];
