#include "tools/common/progress_meter.h"

#include <algorithm>
#include <cstdio>

std::string ProgressLine(uint64_t sent, uint64_t total, double seconds, int columns) {
    // Everything but the bar takes 44 columns; the cursor needs one more.
    constexpr int kRest = 45;
    const int kWidth = columns > 0 ? std::clamp(columns - kRest, 5, 30) : 30;
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
