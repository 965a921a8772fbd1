#pragma once
// Which serial port klvflash talks to. Today only the port named with --port; finding
// the instrument among the present ports (and waiting for it) joins here.

#include <string>

#include "tools/klvflash/flash_messages.h"

struct PortChoice {
    bool chosen = false;
    std::string path;   // the device to open, when chosen
    std::string error;  // why none was chosen (a usage error)
};

PortChoice SelectPort(const std::string& portOption);

// Works out why opening path failed, by trying it the way the port does.
OpenFailure DiagnoseOpenFailure(const std::string& path);
