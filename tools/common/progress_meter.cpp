#include "tools/common/progress_meter.h"

#include <cstdio>

std::string ProgressLine(uint64_t sent, uint64_t total, double seconds) {
    constexpr int kWidth = 30;
    if (sent > total) {
        sent = total;
    }
    const double fraction = total == 0 ? 1.0 : static_cast<double>(sent) / total;
    const int filled = static_cast<int>(fraction * kWidth);
    std::string bar(kWidth, '-');
    bar.replace(0, filled, filled, '#');
    const double rate = seconds > 0 ? sent / 1024.0 / seconds : 0.0;
    char line[128];
    std::snprintf(line, sizeof line, "[%s] %3d%% %7.1f of %7.1f KiB %7.1f KiB/s", bar.c_str(),
                  static_cast<int>(fraction * 100), sent / 1024.0, total / 1024.0, rate);
    return line;
}
