#include "tools/station/station_state.h"

#include <algorithm>

const char* StationPhaseName(StationPhase phase) {
    switch (phase) {
        case StationPhase::Found:
            return "found";
        case StationPhase::Connecting:
            return "connecting";
        case StationPhase::Identified:
            return "identified";
        case StationPhase::Transfer:
            return "transfer";
        case StationPhase::Finishing:
            return "finishing";
        case StationPhase::Done:
            return "done";
        case StationPhase::Failed:
            return "failed";
    }
    return "?";
}

StationState::StationState(bool again) : again_(again) {}

void StationState::SeenPresent(const std::vector<std::string>& keys) {
    const std::lock_guard<std::mutex> hold(lock_);
    for (auto& [key, instrument] : instruments_) {
        if (instrument.ended && std::find(keys.begin(), keys.end(), key) == keys.end()) {
            instrument.unpluggedSinceEnd = true;
        }
    }
}

bool StationState::MayStartLocked(const std::string& key) const {
    const auto found = instruments_.find(key);
    if (found == instruments_.end()) {
        return true;
    }
    const Instrument& instrument = found->second;
    if (instrument.running) {
        return false;
    }
    return !instrument.ended || (again_ && instrument.unpluggedSinceEnd);
}

bool StationState::MayStart(const std::string& key) const {
    const std::lock_guard<std::mutex> hold(lock_);
    return MayStartLocked(key);
}

bool StationState::Claim(const std::string& key, const std::string& port,
                         const std::string& serial, int& row) {
    const std::lock_guard<std::mutex> hold(lock_);
    if (!MayStartLocked(key)) {
        return false;
    }
    Instrument& instrument = instruments_[key];
    instrument = Instrument{};
    instrument.running = true;
    StationRow fresh;
    fresh.port = port;
    fresh.serial = serial;
    rows_.push_back(std::move(fresh));
    rowKeys_.push_back(key);
    row = static_cast<int>(rows_.size()) - 1;
    return true;
}

void StationState::SetPhase(int row, StationPhase phase) {
    const std::lock_guard<std::mutex> hold(lock_);
    rows_.at(row).phase = phase;
}

void StationState::SetModel(int row, const std::string& model) {
    const std::lock_guard<std::mutex> hold(lock_);
    rows_.at(row).model = model;
}

void StationState::SetProgress(int row, uint64_t sent, uint64_t total, double bytesPerSecond) {
    const std::lock_guard<std::mutex> hold(lock_);
    StationRow& r = rows_.at(row);
    r.bytesSent = sent;
    r.bytesTotal = total;
    r.bytesPerSecond = bytesPerSecond;
}

void StationState::End(int row, int resultCode, const std::string& resultText) {
    const std::lock_guard<std::mutex> hold(lock_);
    StationRow& r = rows_.at(row);
    if (r.resultCode >= 0) {
        return;  // an attempt ends once
    }
    r.resultCode = resultCode;
    r.resultText = resultText;
    r.phase = resultCode == 0 ? StationPhase::Done : StationPhase::Failed;
    Instrument& instrument = instruments_[rowKeys_.at(row)];
    instrument.running = false;
    instrument.ended = true;
}

std::vector<StationRow> StationState::Rows() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return rows_;
}

int StationState::Running() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return static_cast<int>(
        std::count_if(rows_.begin(), rows_.end(), [](const StationRow& r) { return r.resultCode < 0; }));
}

int StationState::Ended() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return static_cast<int>(
        std::count_if(rows_.begin(), rows_.end(), [](const StationRow& r) { return r.resultCode >= 0; }));
}

StationSummary StationState::Summary() const {
    const std::lock_guard<std::mutex> hold(lock_);
    StationSummary summary;
    for (const StationRow& r : rows_) {
        if (r.resultCode == 0) {
            ++summary.updated;
        } else if (r.resultCode > 0) {
            ++summary.failed;
            ++summary.failuresByCode[r.resultCode];
        }
    }
    return summary;
}
