#pragma once
// Conversion of a device text to the 8-bit text in which discovery looks for the USB
// identifiers. Windows converts to the thread's ANSI code page; elsewhere ASCII is kept
// and every other code unit becomes '?', which is what the Windows conversion does with
// characters the code page lacks. Only ASCII matters to the search.

#include <string>

// text is NUL-terminated.
std::string ToAnsiText(const char16_t* text);
