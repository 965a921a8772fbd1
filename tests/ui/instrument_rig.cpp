#include "tests/ui/instrument_rig.h"

#include <chrono>
#include <ostream>

#include "package/package_integrity.h"
#include "package/package_writer.h"
#include "package/testing/fake_package_resource.h"
#include "ui/resource_ids.h"

const char kTestVersionText[] = "Ver. 03.0100";

namespace {

const char16_t kPortName[] = u"COM5";
const ModelId kModel = {'K', 'L', 'V', '2'};

// The serial device of the instrument's port, over the host end of the cable.
class CableDevice final : public SerialDevice {
  public:
    explicit CableDevice(std::shared_ptr<Cable> cable) : cable(std::move(cable)) {}

    bool Open(const std::u16string& portName) override {
        std::lock_guard lock(cable->mutex);
        if (!cable->present || cable->open || portName != kPortName) {
            return false;
        }
        cable->open = true;
        return true;
    }
    void Close() override {
        std::lock_guard lock(cable->mutex);
        cable->open = false;
        cable->changed.notify_all();
    }
    void Interrupt() override {
        std::lock_guard lock(cable->mutex);
        interrupted = true;
        cable->changed.notify_all();
    }
    void PrepareRead() override {}
    IoResult ReadSome(uint8_t* buffer, int count) override {
        {
            std::unique_lock lock(cable->mutex);
            while (cable->holdReads && cable->open && cable->present && !interrupted) {
                cable->readHeld = true;
                cable->changed.notify_all();
                cable->changed.wait(lock);
            }
            cable->readHeld = false;
            const bool usable = cable->open && cable->present && !interrupted;
            interrupted = false;
            if (!usable) {
                return {false, 0};
            }
        }
        const int got = cable->link.host().Read(buffer, count, 100);
        if (got < 0) {
            return {false, 0};
        }
        return {true, got};
    }
    void PrepareWrite() override {}
    bool WriteSome(const uint8_t* data, int count) override {
        {
            std::lock_guard lock(cable->mutex);
            if (!cable->open || !cable->present) {
                return false;
            }
            if (cable->holdAfterWrite && cable->holdAfterWrite(data, count)) {
                cable->holdReads = true;
            }
        }
        return cable->link.host().Write(data, count);
    }
    bool InputWaiting() override { return cable->link.host().Pending() > 0; }
    void Purge() override { cable->link.host().Discard(); }
    void Pause(int) override {}

  private:
    std::shared_ptr<Cable> cable;
    bool interrupted = false;  // guarded by cable->mutex
};

class CablePortTable final : public PortEnumerator {
  public:
    explicit CablePortTable(std::shared_ptr<Cable> cable) : cable(std::move(cable)) {}

    int EnumeratePorts(PortInfo* table, int capacity) override {
        std::lock_guard lock(cable->mutex);
        ++cable->scans;
        if (!cable->present || capacity < 1) {
            return 0;
        }
        table[0] = PortInfo{};
        Copy(u"USB Serial Device", table[0].description);
        Copy(u"USB", table[0].enumerator);
        Copy(u"USB Serial Device (COM5)", table[0].friendlyName);
        Copy(u"USB\\VID_0ABC&PID_1234\\SIM0", table[0].instanceId);
        Copy(kPortName, table[0].portName);
        return 1;
    }

  private:
    static void Copy(const char16_t* text, char16_t* field) {
        for (int i = 0; text[i] != 0 && i < PortInfo::kFieldUnits - 1; ++i) {
            field[i] = text[i];
        }
    }
    std::shared_ptr<Cable> cable;
};

// The settle wait after the finish command, held where a test asks for it. The protocol
// takes a plain function, so the gate is one for the process.
struct SettleGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool hold = false;
    bool entered = false;
};
SettleGate settleGate;

void GatedSleep(int) {
    std::unique_lock lock(settleGate.mutex);
    settleGate.entered = true;
    settleGate.changed.notify_all();
    settleGate.changed.wait(lock, [] { return !settleGate.hold; });
}

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
    // Bytes with the top bit set, so that no chunk of image data starts like a command.
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(0x80 | ((i * 7 + seed) & 0x7F));
    }
    return bytes;
}

std::vector<uint8_t> MakePackage(PackageKind kind) {
    const bool sealed = kind == PackageKind::Sealed || kind == PackageKind::Damaged;
    klv::package::PackageWriter writer;
    if (sealed) {
        writer.Raw(klv::package::DigestRecordBytes());
    }
    writer.ModelIdRecord(kModel)
        .UsbIdRecord(0x0ABC, 0x1234)
        .PrefixRecord("R20P-03.")
        .VersionTextRecord(kTestVersionText)
        .Image(2, Pattern(700, 3));
    if (kind != PackageKind::WithoutImage1) {
        writer.Image(1, Pattern(2100, 5));
    }
    std::vector<uint8_t> package = writer.Scrambled();
    if (sealed) {
        klv::package::SealPackage(package);
    }
    if (kind == PackageKind::Damaged) {
        package[package.size() - 18 - 1000] ^= 0x04;  // inside image1
    }
    return package;
}

}  // namespace

void Cable::Release() {
    std::lock_guard lock(mutex);
    holdReads = false;
    holdAfterWrite = nullptr;
    changed.notify_all();
}

InstrumentConfig MatchingInstrument() {
    InstrumentConfig config;
    config.maxPacket = 512;
    config.modelId = kModel;
    config.versions = {"BOOT-01.0002", "R20P-03.0005"};
    return config;
}

ControllerRig::ControllerRig(RigOptions options)
    : cable(std::make_shared<Cable>()), engine(options.instrument) {
    cable->present = options.pluggedAtStart;
    cable->holdReads = options.holdReads;
    {
        std::lock_guard lock(settleGate.mutex);
        settleGate.hold = options.holdSettleWait;
        settleGate.entered = false;
    }
    if (options.package == PackageKind::Missing) {
        SetFakeEmbeddedPackage(nullptr, 0);
    } else {
        packageBytes = MakePackage(options.package);
        SetFakeEmbeddedPackage(packageBytes.data(), static_cast<uint32_t>(packageBytes.size()));
    }
    DialogParts parts;
    parts.serialDevice = std::make_unique<CableDevice>(cable);
    parts.ports = std::make_unique<CablePortTable>(cable);
    parts.settleSleep = GatedSleep;
    if (!options.workerStarts) {
        parts.startWorker = [](std::function<void()>) { return false; };
    }
    dlg = std::make_unique<FWUpdate_KLV_R20P_Dlg>(window, std::move(parts));
    dlg->port.trace = nullptr;
    engineThread = std::thread([this] { engine.Run(cable->link.device()); });
}

ControllerRig::~ControllerRig() {
    cable->Release();
    ReleaseSettleWait();
    dlg.reset();
    engine.Stop();
    cable->link.Disconnect();
    engineThread.join();
}

void ControllerRig::Start() {
    dlg->OnInitDialog();
}

void ControllerRig::Plug() {
    {
        std::lock_guard lock(cable->mutex);
        cable->present = true;
    }
    dlg->OnDeviceChange(0x8000, 0);  // a device arrived
}

void ControllerRig::Unplug() {
    {
        std::lock_guard lock(cable->mutex);
        cable->present = false;
        cable->changed.notify_all();
    }
    cable->link.Disconnect();
    dlg->OnDeviceChange(0x8004, 0);  // a device was removed
}

bool ControllerRig::ServeUntilScreen(int code) {
    return window.ServeUntil([&] {
        return dlg->screen.load() == code && Shown(window) == Expected(code, dlg->displayError);
    });
}

bool ControllerRig::ServeUntilReadHeld() {
    return window.ServeUntil([this] {
        std::lock_guard lock(cable->mutex);
        return cable->readHeld;
    });
}

bool ControllerRig::ServeUntilSettleWait() {
    return window.ServeUntil([] {
        std::lock_guard lock(settleGate.mutex);
        return settleGate.entered;
    });
}

void ControllerRig::ReleaseSettleWait() {
    std::lock_guard lock(settleGate.mutex);
    settleGate.hold = false;
    settleGate.changed.notify_all();
}

bool Look::operator==(const Look& other) const {
    return message == other.message && versionVisible == other.versionVisible &&
           (!versionVisible || version == other.version) && yes == other.yes && no == other.no &&
           ok == other.ok && close == other.close;
}

void PrintTo(const Look& look, std::ostream* out) {
    auto narrow = [](const std::u16string& text) {
        std::string result;
        for (char16_t c : text) {
            result += c == u'\r'   ? std::string("\\r")
                      : c == u'\n' ? "\\n"
                                   : std::string(1, char(c));
        }
        return result;
    };
    *out << "{message \"" << narrow(look.message) << "\", version "
         << (look.versionVisible ? "\"" + narrow(look.version) + "\"" : std::string("hidden"))
         << (look.yes ? ", YES" : "") << (look.no ? ", NO" : "") << (look.ok ? ", OK" : "")
         << (look.close ? ", close enabled" : ", close disabled") << "}";
}

Look Shown(const FakeDialogWindow& window) {
    Look look;
    look.message = window.Control(IDC_MESSAGE).text;
    look.versionVisible = window.Control(IDC_VERSION).visible;
    look.version = window.Control(IDC_VERSION).text;
    look.yes = window.Control(IDC_YES_BUTTON).visible;
    look.no = window.Control(IDC_NO_BUTTON).visible;
    look.ok = window.Control(IDC_OK_BUTTON).visible;
    look.close = window.closeEnabled;
    return look;
}

Look Expected(int screen, uint16_t code) {
    Look look;
    switch (screen) {
        case ScreenInit:
        case ScreenWaiting:
        case ScreenConnecting:
            look.message = u"\r\nWAITING...";
            break;
        case ScreenConfirm:
            look.message = u"PROGRAM UPDATE";
            look.versionVisible = true;
            look.version =
                std::u16string(kTestVersionText, kTestVersionText + sizeof kTestVersionText - 1);
            look.yes = look.no = true;
            break;
        case ScreenLoading:
            look.message = u"\r\nNOW LOADING";
            look.close = false;
            break;
        case ScreenError:
            look.ok = true;
            if (code == 16 || code == 17) {
                look.message = u"\r\nUNABLE TO UPDATE";
            } else {
                look.message = u"ERROR!";
                look.versionVisible = true;
                const std::string digits = (code < 10 ? "0" : "") + std::to_string(code);
                look.version = std::u16string(digits.begin(), digits.end());
            }
            break;
        case ScreenDone:
            look.message = u"Please disconnect the\r\ncable after the LED\r\nflashing ends.";
            look.ok = true;
            break;
    }
    return look;
}
