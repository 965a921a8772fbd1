#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "discovery/port_enumerator_linux.h"
#include "tools/klvflash/port_selection.h"
#include "tools/klvflash/port_system.h"

std::unique_ptr<PortEnumerator> SystemPortList(const std::string& sysRoot,
                                               const std::string& devRoot) {
    return std::make_unique<SysfsPortEnumerator>(sysRoot, devRoot);
}

std::string TransportPortName(const std::string& name) {
    return name;
}

std::string ComparablePortName(const std::string& name) {
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::canonical(name, ec);
    return ec ? name : resolved.string();
}

std::string DeviceWatchDescription(const std::string& devRoot) {
    return devRoot + " for new devices (inotify)";
}

const PortTexts& SystemPortTexts() {
    static const PortTexts texts{
        "/dev/ttyACM0",
        "ls /dev/ttyACM* /dev/ttyUSB*",
        "add your user to the dialout group (sudo usermod -aG dialout $USER) and log in again",
        "it watches /dev with inotify (no polling) and scans again whenever a serial device "
        "appears, goes or changes its permissions, and also every 2 s, for a port that "
        "another program lets go of",
        "SIGTERM or SIGHUP",
    };
    return texts;
}

OpenFailure DiagnoseOpenFailure(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
            case ENOENT:
            case ENODEV:
            case ENXIO:
                return OpenFailure::Missing;
            case EACCES:
            case EPERM:
                return OpenFailure::NoPermission;
            case EBUSY:
                return OpenFailure::Busy;
            default:
                return OpenFailure::Other;
        }
    }
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
    const int lockError = errno;
    close(fd);
    if (!locked && lockError == EWOULDBLOCK) {
        return OpenFailure::Busy;
    }
    return OpenFailure::Other;
}
