#include "tools/klvflash/port_selection.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

PortChoice SelectPort(const std::string& portOption) {
    if (portOption.empty()) {
        return {false, "",
                "--port is required: name the instrument's serial device, for example "
                "--port /dev/ttyACM0"};
    }
    return {true, portOption, ""};
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
