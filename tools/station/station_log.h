#pragma once
// The bench's traceability record: one JSON object per line for every attempt at an
// instrument, appended to a file and pushed to the disk record by record, so that a
// station that loses its power keeps every record it had finished.

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct AttemptRecord {
    std::string time;  // UTC, ISO 8601, when the attempt started
    std::string port;
    int vendorId = -1;  // -1: the port has no USB ids
    int productId = -1;
    std::string serial;
    std::string model;                  // hexadecimal; empty when not identified
    std::vector<std::string> versions;  // as the instrument reported them
    std::string packageName;
    std::string packageSha256;
    int resultCode = 0;
    std::string resultText;
    std::vector<std::pair<std::string, double>> phaseSeconds;  // in the order they ran
};

// One line of JSON, without its line feed. Texts that are not valid UTF-8 (an instrument
// may report any bytes) keep their valid parts; each invalid byte becomes U+FFFD.
std::string AttemptRecordJson(const AttemptRecord& record);

// UTC now, as 2026-12-10T14:03:07.250Z.
std::string UtcTimestamp();

class StationLog {
  public:
    StationLog() = default;
    ~StationLog();
    StationLog(const StationLog&) = delete;
    StationLog& operator=(const StationLog&) = delete;

    // Opens path for appending (created when missing); false with errorText set otherwise.
    bool Open(const std::string& path, std::string& errorText);
    bool IsOpen() const { return file_ != nullptr; }

    // Appends one record and flushes it to the disk before it returns; false when the
    // write failed (the station says so and goes on).
    bool Append(const AttemptRecord& record);

  private:
    std::mutex lock_;
    std::FILE* file_ = nullptr;
};

// Pushes what the C library and the system hold of file to the disk.
bool SyncFileToDisk(std::FILE* file);
// Opens path (UTF-8) for appending in binary mode; nothing, with errno set, when it fails.
std::FILE* OpenForAppend(const std::string& path);
