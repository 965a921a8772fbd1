// The updater's window under Wine while its worker is still reading the package: a
// WM_DEVICECHANGE sent to it then (as the system sends it, not posted) must not be
// handled before the package has been read; the start-up's own scan is the first.
//
// The real dialog (template, framework layer, controller) runs on this program's main
// thread; the package lookup is held until a driver thread has tried its sent
// notification. Exit status 0 when the rule held, 1 when not, 2 when the run broke.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "package/package_writer.h"
#include "package/testing/fake_package_resource.h"
#include "ui/updater_dialog_win32.h"

namespace {

std::atomic<bool> packageHeld{false};
std::atomic<bool> releasePackage{false};
std::atomic<int> scans{0};
std::atomic<int> scansWhileHeld{0};

void HoldPackageStep() {
    packageHeld = true;
    // At most 10 s: a driver that broke must not hang the test.
    for (int i = 0; i < 1000 && !releasePackage.load(); ++i) {
        Sleep(10);
    }
    packageHeld = false;
}

// Lists nothing; notes when it is asked.
class CountingPorts final : public PortEnumerator {
  public:
    int EnumeratePorts(PortInfo*, int) override {
        ++scans;
        if (packageHeld.load()) {
            ++scansWhileHeld;
        }
        return 0;
    }
};

std::vector<uint8_t> MakePackage() {
    const std::vector<uint8_t> image(4096, 0x5A);
    klv::package::PackageWriter writer;
    writer.UsbIdRecord(0x0ABC, 0x1234).VersionTextRecord("Ver. 03.0100").Image(1, image);
    return writer.Scrambled();
}

HWND WaitForWindow() {
    for (int i = 0; i < 1000; ++i) {
        if (HWND window = FindWindowW(nullptr, L"KLV-Series FW Updater")) {
            return window;
        }
        Sleep(10);
    }
    return nullptr;
}

}  // namespace

int main() {
    const std::vector<uint8_t> package = MakePackage();
    SetFakeEmbeddedPackage(package.data(), static_cast<uint32_t>(package.size()));
    SetFakeEmbeddedPackageLookupHook(HoldPackageStep);

    std::atomic<int> sentHandledWhileHeld{-1};
    std::atomic<bool> driverFailed{false};
    std::atomic<bool> laterSentScanned{false};
    std::thread driver([&] {
        HWND window = WaitForWindow();
        for (int i = 0; window != nullptr && i < 500 && !packageHeld.load(); ++i) {
            Sleep(10);
        }
        if (window == nullptr || !packageHeld.load()) {
            std::fprintf(stderr, "no window, or the package step was never reached\n");
            driverFailed = true;
            releasePackage = true;
            return;
        }
        // The system's way: a sent message, which the GUI thread handles wherever it
        // serves sent messages.
        DWORD_PTR result = 0;
        const LRESULT handled =
            SendMessageTimeoutW(window, WM_DEVICECHANGE, 0x8000, 0, SMTO_NORMAL, 500, &result);
        sentHandledWhileHeld = handled != 0 && packageHeld.load() ? 1 : 0;
        releasePackage = true;
        // Once the start-up has scanned, a sent notification is handled as always (so the
        // one above went unhandled because of the wait, not because of this harness).
        for (int i = 0; i < 1000 && scans.load() < 1; ++i) {
            Sleep(10);
        }
        const int before = scans.load();
        SendMessageTimeoutW(window, WM_DEVICECHANGE, 0x8000, 0, SMTO_NORMAL, 10000, &result);
        laterSentScanned = scans.load() > before;
        PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    });

    DialogParts parts;
    parts.ports = std::make_unique<CountingPorts>();
    UpdaterDialog dialog(std::move(parts));
    const INT_PTR result = dialog.DoModal();
    driver.join();

    std::printf(
        "dialog result %d, scans %d, scans while the package was read %d, sent "
        "notification handled then %d\n",
        static_cast<int>(result), scans.load(), scansWhileHeld.load(), sentHandledWhileHeld.load());
    if (driverFailed.load() || result != IDCANCEL) {
        return 2;
    }
    if (scansWhileHeld.load() != 0 || sentHandledWhileHeld.load() != 0) {
        std::fprintf(stderr, "a device change was handled while the package was read\n");
        return 1;
    }
    if (!laterSentScanned.load()) {
        std::fprintf(stderr, "a notification sent after the start-up was not handled\n");
        return 2;
    }
    return 0;
}
