#include <condition_variable>
#include <mutex>

#include "platform/auto_reset_event.h"

struct AutoResetEvent::Impl {
    std::mutex mutex;
    std::condition_variable signalled;
    bool set = false;
};

AutoResetEvent::AutoResetEvent() : impl(std::make_unique<Impl>()) {}
AutoResetEvent::~AutoResetEvent() = default;

void AutoResetEvent::Set() {
    {
        std::lock_guard lock(impl->mutex);
        impl->set = true;
    }
    impl->signalled.notify_one();
}

void AutoResetEvent::Wait() {
    std::unique_lock lock(impl->mutex);
    impl->signalled.wait(lock, [this] { return impl->set; });
    impl->set = false;
}
