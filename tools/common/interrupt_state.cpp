#include "tools/common/interrupt_state.h"

#include "tools/common/tool_exit.h"

namespace klv::tools {

void InterruptState::SetStage(UpdateStage next) {
    const std::lock_guard<std::mutex> lock(mutex);
    stage = next;
    warned = false;
}

UpdateStage InterruptState::Stage() const {
    const std::lock_guard<std::mutex> lock(mutex);
    return stage;
}

InterruptAction InterruptState::OnInterrupt(InterruptKind kind, Clock::time_point now) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (stopRequested || stage == UpdateStage::Over) {
        return InterruptAction::None;
    }
    const auto stop = [&] {
        stopRequested = true;
        stopStatus = kind == InterruptKind::Interrupt ? kExitSigInt : kExitSigTerm;
        return InterruptAction::Stop;
    };
    switch (stage) {
        case UpdateStage::Before:
            return stop();
        case UpdateStage::Transfer:
            if (kind == InterruptKind::Terminate ||
                (warned && now - warnedAt <= kRepeatWindow)) {
                return stop();
            }
            warned = true;
            warnedAt = now;
            return InterruptAction::WarnTransfer;
        case UpdateStage::Finishing:
            return InterruptAction::WarnFinishing;
        case UpdateStage::Over:
            break;
    }
    return InterruptAction::None;
}

bool InterruptState::StopRequested() const {
    const std::lock_guard<std::mutex> lock(mutex);
    return stopRequested;
}

int InterruptState::StopExitStatus() const {
    const std::lock_guard<std::mutex> lock(mutex);
    return stopStatus;
}

}  // namespace klv::tools
