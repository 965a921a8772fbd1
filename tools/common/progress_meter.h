#pragma once
// The progress line of the transfer: a bar over the bytes of both images, the count
// and the rate, redrawn in place on a terminal.

#include <cstdint>
#include <string>

// One line without its carriage return, e.g.
// "[##########----------]  50%   12.0 of   24.0 KiB   40.0 KiB/s"
// The bar is 30 wide; given the terminal's width in columns, it is shortened (to 5 at
// least) so that the line stays within one row less one column: a line that wraps
// cannot be redrawn in place.
std::string ProgressLine(uint64_t sent, uint64_t total, double seconds, int columns = 0);
