#include <windows.h>
#include <io.h>

#include "tools/station/station_log.h"

bool SyncFileToDisk(std::FILE* file) {
    return _commit(_fileno(file)) == 0;  // FlushFileBuffers on the file's handle
}

std::FILE* OpenForAppend(const std::string& path) {
    const int units = MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()),
                                          nullptr, 0);
    std::wstring wide(static_cast<size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0) {
        MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(),
                            units);
    }
    return _wfopen(wide.c_str(), L"ab");
}
