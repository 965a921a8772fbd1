#include <pthread.h>

#include <cerrno>
#include <ctime>

#include "platform/resource_exception.h"
#include "platform/system_mutex.h"

// A robust recursive pthread mutex: recursive so that its owner may take it again
// (each acquire needs its release), robust so that a thread that ended while holding
// it does not lock everybody else out. Unlocking checks the owner, so a release by
// another thread fails with EPERM instead of corrupting the lock.
struct SystemMutex::Impl {
    pthread_mutex_t mutex;
};

SystemMutex::SystemMutex() : impl(std::make_unique<Impl>()) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        throw ResourceException("mutex attributes cannot be created");
    }
    const bool configured = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                            pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0;
    const bool created = configured && pthread_mutex_init(&impl->mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    if (!created) {
        throw ResourceException("mutex cannot be created");
    }
}

SystemMutex::~SystemMutex() {
    pthread_mutex_destroy(&impl->mutex);
}

bool SystemMutex::Acquire(int timeoutMs) {
    int result = 0;
    if (timeoutMs < 0) {
        result = pthread_mutex_lock(&impl->mutex);
    } else {
        // pthread_mutex_timedlock measures its deadline on the realtime clock.
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += timeoutMs / 1000;
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        result = pthread_mutex_timedlock(&impl->mutex, &deadline);
    }
    if (result == EOWNERDEAD) {
        // The previous owner ended holding it; we own it now and declare the state
        // usable again, as a Windows mutex does for an abandoned one.
        pthread_mutex_consistent(&impl->mutex);
        return true;
    }
    return result == 0;
}

bool SystemMutex::Release() {
    return pthread_mutex_unlock(&impl->mutex) == 0;
}
