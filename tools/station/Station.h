// The station's slots: one serial port each, one worker process (sorvel-cli --json) per upgrade
// attempt, and what the page shows of them. The worker's events (docs/cli-json-events.md) move
// a slot through its states; the page's requests (docs/station-http.md) start, answer, cancel
// and re-arm it.
//
//   idle --start--> running <--answer-- prompt
//                      |  \--event "prompt"--^
//                      |--cancel--> stopping
//                      v
//        updated | failed | stopped --rearm--> idle
//
// A worker that ends without its result (killed, crashed) fails its slot with the reason; one
// that sends nothing for StationSetup::silentLimit while it runs (its events come at least at
// every percent of a file, and every second while the box is awaited; a hung worker sends
// none) is asked to stop, and killed stopGrace later.
// The worker writes its attempt into the record itself; the record of a worker killed before it
// could is written from the marker it left (CUpgradeRecorder::RecordAbandoned).
//
// Threads: the commands and the JSON views may be called from any thread. Each running slot has
// a reader thread of its own for its worker's output; a watchdog thread looks after silent and
// stopping workers. changed is called without the station's lock held, from those threads or
// the caller's: with a slot's id when the slot changed, with 0 when the record's list did.
#pragma once

#include "UpgradeModes.h"
#include "UpgradeRecord.h"
#include "UpgradeStatus.h"
#include "WorkerProcess.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sorvel::station {

struct StationSetup {
    std::string folder; // the upgrade's folder, absolute
    std::string mode;   // "complete", "sti", "cartridge"
    BYTE modeCode = MODE_NONE;
    std::string worker;  // the worker program (sorvel-cli)
    std::string record;  // the record file, "" for none
    std::string version; // the station's version
    sorvel::record::ConfigVersions config;
    std::vector<std::string> files; // the upload files of the mode, names only
    std::vector<std::string> ports;
    // Far above a percent of a large file on a slow line: only a hung worker stays this silent.
    std::chrono::milliseconds silentLimit{std::chrono::minutes(5)};
    std::chrono::milliseconds stopGrace{std::chrono::seconds(10)};
};

// A command's answer: status 200, or an HTTP error status with its reason.
struct CommandResult {
    int status = 200;
    std::string error;
    bool Ok() const { return status == 200; }
};

class Station {
public:
    using Changed = std::function<void(int slot)>;
    static constexpr int kRecordsShown = 20;
    static constexpr std::size_t kUnitMaxLength = 64;

    Station(StationSetup setup, Changed changed);
    // Asks every worker to stop, kills those that do not within the grace, joins every thread.
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    CommandResult Start(int slot, const std::optional<std::string>& unit);
    CommandResult SetUnit(int slot, const std::string& unit);
    CommandResult Answer(int slot, const std::string& answer);
    CommandResult Cancel(int slot);
    CommandResult Rearm(int slot);
    // Starts every idle slot; the number started.
    int StartAll();

    nlohmann::ordered_json StateJson() const;
    nlohmann::ordered_json SlotJson(int slot) const;
    nlohmann::ordered_json RecordsJson() const;
    int SlotCount() const { return static_cast<int>(m_slots.size()); }
    const StationSetup& Setup() const { return m_setup; }

    // Why a unit id cannot be used, "" when it can.
    static std::string CheckUnit(const std::string& unit);

private:
    enum class State { Idle, Running, Prompt, Stopping, Updated, Failed, Stopped };
    using Clock = std::chrono::steady_clock;

    struct Slot {
        int id = 0;
        std::string port;
        State state = State::Idle;
        std::string unit;
        CUpgradeStatus status{CONFIG_FULL};
        std::string step;
        int index = 0, count = 0;
        std::string fileName;
        int percent = 0;
        std::optional<int> secondsLeft;
        int waiting = 0;
        std::vector<std::string> delivered;
        std::optional<nlohmann::ordered_json> prompt;
        std::optional<nlohmann::ordered_json> outcome;
        int updated = 0, failed = 0;
        std::string eventTime;
        Clock::time_point lastEvent{};
        Clock::time_point stopAsked{};
        bool killed = false; // the watchdog killed it
        std::shared_ptr<WorkerProcess> worker;
        std::thread reader;
    };

    // A command the slot's state does not allow: 409, "slot 2 is running" and why.
    static CommandResult Refused(const Slot& slot, const std::string& why);
    // Forgets what the last run showed.
    static void ClearRun(Slot& slot);
    // Writes the prompt's answer to the worker; the sequence goes on.
    static void ReplyToPrompt(Slot& slot, const std::string& answer);
    Slot* Find(int slot);
    const Slot* Find(int slot) const;
    CommandResult StartLocked(Slot& slot, std::unique_lock<std::mutex>& lock);
    void ReadWorker(Slot& slot, std::shared_ptr<WorkerProcess> worker);
    // Applies one event of the worker's output to its slot (the station's lock held).
    void ApplyEvent(Slot& slot, const nlohmann::json& event);
    // The worker ended: its result (none when it was killed or crashed) becomes the outcome.
    void Finish(Slot& slot, const std::optional<nlohmann::json>& result, const WorkerExit& exit);
    void Watch();
    void LoadRecords();
    void Notify(int slot) const;
    static nlohmann::ordered_json SlotJsonLocked(const Slot& slot);
    static const char* StateName(State state);

    const StationSetup m_setup;
    const Changed m_changed;
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<Slot>> m_slots;
    nlohmann::ordered_json m_records = nlohmann::ordered_json::array();
    std::condition_variable m_wake;
    bool m_ending = false;
    std::thread m_watchdog;
};

} // namespace sorvel::station
