#include <windows.h>

#include "platform/auto_reset_event.h"
#include "platform/resource_exception.h"

struct AutoResetEvent::Impl {
    HANDLE event = nullptr;
};

AutoResetEvent::AutoResetEvent() : impl(std::make_unique<Impl>()) {
    impl->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (impl->event == nullptr) {
        throw ResourceException("CreateEventW failed");
    }
}

AutoResetEvent::~AutoResetEvent() { CloseHandle(impl->event); }

void AutoResetEvent::Set() { SetEvent(impl->event); }

void AutoResetEvent::Wait() { WaitForSingleObject(impl->event, INFINITE); }
