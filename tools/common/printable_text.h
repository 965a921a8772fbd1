#pragma once
// Texts that come from a package or an instrument reach a terminal only through here:
// a version entry with an escape sequence in it must not move the cursor, recolour or
// retitle the operator's terminal.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace klv::tools {

// Printable ASCII as it stands; a backslash doubled; every other byte (control
// characters, DEL, anything above 0x7E) as \xNN.
std::string Printable(std::string_view bytes);
std::string Printable(const uint8_t* bytes, size_t length);
// The same in double quotes, with a double quote escaped too.
std::string Quoted(std::string_view bytes);

}  // namespace klv::tools
