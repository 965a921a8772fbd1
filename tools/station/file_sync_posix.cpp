#include <unistd.h>

#include "tools/station/station_log.h"

bool SyncFileToDisk(std::FILE* file) {
    return fsync(fileno(file)) == 0;
}
