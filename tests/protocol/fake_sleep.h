#pragma once
// Stands in for the settle wait's sleep: records every slice and can act on one.

#include <functional>
#include <mutex>
#include <vector>

struct FakeSleep {
    static void Sleep(int ms) {
        std::function<void(int)> action;
        int count = 0;
        {
            std::lock_guard lock(mutex);
            slept.push_back(ms);
            count = static_cast<int>(slept.size());
            action = onSleep;
        }
        if (action) {
            action(count);  // the count of slices so far, from 1
        }
    }
    static void Reset() {
        std::lock_guard lock(mutex);
        slept.clear();
        onSleep = nullptr;
    }
    static std::vector<int> Slept() {
        std::lock_guard lock(mutex);
        return slept;
    }

    static inline std::mutex mutex;
    static inline std::vector<int> slept;
    static inline std::function<void(int)> onSleep;
};
