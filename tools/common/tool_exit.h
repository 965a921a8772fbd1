#pragma once
// Exit statuses shared by klvflash, klvpkg and klvsim: one meaning per number across
// the three tools. klvflash's failures of an update exit with the error code the
// window shows (1, 2, 3, 16, 17, 80, 96, 255); the numbers below never collide with them.

namespace klv::tools {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 64;         // an option or a value is wrong
inline constexpr int kExitUnreadable = 66;    // a file named on the command line cannot be read
inline constexpr int kExitCannotWrite = 73;   // an output file cannot be written
inline constexpr int kExitPortUnusable = 80;  // the serial device cannot be used (as ERROR! 80)
inline constexpr int kExitPackageUnusable = 96;  // the package is damaged or has no main image
inline constexpr int kExitSigInt = 130;       // stopped by Ctrl-C (SIGINT)
inline constexpr int kExitSigTerm = 143;      // stopped by SIGTERM, or SIGHUP

}  // namespace klv::tools
