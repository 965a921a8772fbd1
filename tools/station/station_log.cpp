#include "tools/station/station_log.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

std::string AttemptRecordJson(const AttemptRecord& record) {
    nlohmann::ordered_json json;
    json["time"] = record.time;
    json["port"] = record.port;
    if (record.vendorId >= 0 && record.productId >= 0) {
        json["usb"] = {{"vendorId", record.vendorId}, {"productId", record.productId}};
    } else {
        json["usb"] = nullptr;
    }
    json["serial"] = record.serial;
    json["model"] = record.model;
    json["versions"] = record.versions;
    json["package"] = {{"name", record.packageName}, {"sha256", record.packageSha256}};
    json["result"] = {{"code", record.resultCode}, {"text", record.resultText}};
    nlohmann::ordered_json phases = nlohmann::ordered_json::object();
    for (const auto& [name, seconds] : record.phaseSeconds) {
        phases[name] = seconds;
    }
    json["phases"] = phases;
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string UtcTimestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    return text;
}

StationLog::~StationLog() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool StationLog::Open(const std::string& path, std::string& errorText) {
    const std::lock_guard<std::mutex> hold(lock_);
    file_ = OpenForAppend(path);
    if (file_ == nullptr) {
        errorText = std::strerror(errno);
        return false;
    }
    return true;
}

bool StationLog::Append(const AttemptRecord& record) {
    const std::string line = AttemptRecordJson(record) + "\n";
    const std::lock_guard<std::mutex> hold(lock_);
    if (file_ == nullptr) {
        return false;
    }
    const bool written = std::fwrite(line.data(), 1, line.size(), file_) == line.size();
    const bool flushed = std::fflush(file_) == 0;
    return written && flushed && SyncFileToDisk(file_);
}
