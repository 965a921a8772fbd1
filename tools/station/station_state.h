#pragma once
// What a service station knows during one run: which instruments it has seen, which are
// being updated, one row per attempt for the live table, and the counts for the summary.
// The watcher thread and every worker share one StationState; a single lock guards it all,
// so each call sees and leaves a consistent picture.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// The phases an attempt goes through, in order; Done and Failed end it.
enum class StationPhase {
    Found,
    Connecting,
    Identified,
    Transfer,
    Finishing,
    Done,
    Failed,
};

const char* StationPhaseName(StationPhase phase);

// One line of the live table: one attempt at one instrument.
struct StationRow {
    std::string port;
    std::string serial;  // empty when the port has no USB serial number
    std::string model;   // hexadecimal, as the instrument reported it; empty until identified
    StationPhase phase = StationPhase::Found;
    uint64_t bytesSent = 0;
    uint64_t bytesTotal = 0;
    double bytesPerSecond = 0;
    int resultCode = -1;  // -1 while the attempt runs
    std::string resultText;
};

struct StationSummary {
    int updated = 0;
    int failed = 0;
    std::map<int, int> failuresByCode;  // result code -> how many instruments ended with it
};

class StationState {
  public:
    // again: an instrument that was updated (or failed) may be updated once more after it
    // has been seen unplugged; without it, never again in this run.
    explicit StationState(bool again);

    // The watcher reports every instrument key present now (a USB serial number, or the
    // port path where there is none). An instrument whose attempt has ended and that is
    // not among them counts as unplugged from then on.
    void SeenPresent(const std::vector<std::string>& keys);

    // Whether Claim would start the instrument now (nothing changes).
    bool MayStart(const std::string& key) const;

    // Claims the instrument for a new attempt and adds its row; false (and no row) when
    // it is being updated now or its attempt has ended and it may not be started again.
    // row receives the new row's index.
    bool Claim(const std::string& key, const std::string& port, const std::string& serial,
               int& row);

    void SetPhase(int row, StationPhase phase);
    void SetModel(int row, const std::string& model);
    void SetProgress(int row, uint64_t sent, uint64_t total, double bytesPerSecond);

    // Ends the attempt of row with its result (0 updated, else the error code) and frees
    // the instrument's key for the rules of SeenPresent and Claim.
    void End(int row, int resultCode, const std::string& resultText);

    std::vector<StationRow> Rows() const;
    int Running() const;
    int Ended() const;
    StationSummary Summary() const;

  private:
    struct Instrument {
        bool running = false;
        bool ended = false;
        bool unpluggedSinceEnd = false;
    };

    bool MayStartLocked(const std::string& key) const;

    const bool again_;
    mutable std::mutex lock_;
    std::map<std::string, Instrument> instruments_;
    std::vector<StationRow> rows_;
    std::vector<std::string> rowKeys_;
};
