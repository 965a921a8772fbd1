#include <windows.h>
#include <io.h>

#include "tools/common/wide_text_win32.h"
#include "tools/station/station_log.h"

bool SyncFileToDisk(std::FILE* file) {
    return _commit(_fileno(file)) == 0;  // FlushFileBuffers on the file's handle
}

std::FILE* OpenForAppend(const std::string& path) {
    return _wfopen(klv::tools::WideText(path).c_str(), L"ab");
}
