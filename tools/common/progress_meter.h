#pragma once
// The progress line of the transfer: a bar over the bytes of both images, the count
// and the rate, redrawn in place on a terminal.

#include <cstdint>
#include <string>

// One line without its carriage return, e.g.
// "[##########----------]  50%   12.0 of   24.0 KiB   40.0 KiB/s"
std::string ProgressLine(uint64_t sent, uint64_t total, double seconds);
