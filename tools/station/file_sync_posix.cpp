#include <unistd.h>

#include "tools/station/station_log.h"

bool SyncFileToDisk(std::FILE* file) {
    return fsync(fileno(file)) == 0;
}

std::FILE* OpenForAppend(const std::string& path) {
    return std::fopen(path.c_str(), "ab");
}
