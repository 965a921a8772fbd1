#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <thread>

#include "platform/resource_exception.h"
#include "platform/system_mutex.h"

// A robust recursive pthread mutex: recursive so that its owner may take it again
// (each acquire needs its release), robust so that a thread that ended while holding
// it does not lock everybody else out.
//
// The owner and its depth are also kept here, so that a release by a thread that does
// not own the mutex is refused before it reaches pthread_mutex_unlock (which would
// refuse it too, with EPERM, but is undefined for some mutex kinds and flagged by the
// thread sanitizer).
struct SystemMutex::Impl {
    pthread_mutex_t mutex;
    std::atomic<std::thread::id> owner{};
    int depth = 0;  // touched only by the owner

    void Acquired() {
        if (owner.load() == std::this_thread::get_id()) {
            ++depth;
            return;
        }
        owner = std::this_thread::get_id();  // also replaces an owner that ended
        depth = 1;
    }
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

namespace {

// This toolchain's ThreadSanitizer does not intercept pthread_mutex_clocklock, so a
// build under it would not see that lock being taken; it waits on the realtime clock.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KLV_LOCK_ON_REALTIME_CLOCK 1
#endif
#endif

int LockWithin(pthread_mutex_t& mutex, int timeoutMs) {
    if (timeoutMs < 0) {
        return pthread_mutex_lock(&mutex);
    }
#ifdef KLV_LOCK_ON_REALTIME_CLOCK
    const clockid_t clock = CLOCK_REALTIME;
#else
    // The monotonic clock: a step of the wall clock neither stretches nor cuts the wait.
    const clockid_t clock = CLOCK_MONOTONIC;
#endif
    timespec deadline{};
    clock_gettime(clock, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
#ifdef KLV_LOCK_ON_REALTIME_CLOCK
    return pthread_mutex_timedlock(&mutex, &deadline);
#else
    return pthread_mutex_clocklock(&mutex, clock, &deadline);
#endif
}

}  // namespace

bool SystemMutex::Acquire(int timeoutMs) {
    // A free (or abandoned) mutex is taken without waiting.
    int result = pthread_mutex_trylock(&impl->mutex);
    if (result == EBUSY) {
        result = LockWithin(impl->mutex, timeoutMs);
    }
    if (result == EOWNERDEAD) {
        // The previous owner ended holding it; we own it now and declare the state
        // usable again, as a Windows mutex does for an abandoned one.
        pthread_mutex_consistent(&impl->mutex);
        result = 0;
    }
    if (result != 0) {
        return false;
    }
    impl->Acquired();
    return true;
}

bool SystemMutex::Release() {
    if (impl->owner.load() != std::this_thread::get_id() || impl->depth == 0) {
        return false;
    }
    if (--impl->depth == 0) {
        impl->owner = std::thread::id{};
    }
    if (pthread_mutex_unlock(&impl->mutex) != 0) {
        impl->owner = std::this_thread::get_id();
        ++impl->depth;
        return false;
    }
    return true;
}
