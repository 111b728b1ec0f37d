#include "Station.h"

#include "UpgradeRecordReader.h"
#include "UpgradeRecorder.h"

#include <algorithm>
#include <fstream>
#include <iostream>

namespace sorvel::station {

namespace {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;

// The record's tail that the page's list is read from: enough for far more than kRecordsShown
// attempts, and a record of years is not read whole after every upgrade.
constexpr std::streamoff kRecordTail = 256 * 1024;

// The first sentence of a message, when its first line holds one ("Your Brevon Box was
// updated."), else its first line.
std::string Headline(const std::string& text) {
    const std::string line = text.substr(0, text.find('\n'));
    const std::size_t stop = line.find(". ");
    return stop == std::string::npos ? line : line.substr(0, stop + 1);
}

std::string Text(const json& event, const char* name) {
    const auto it = event.find(name);
    return it != event.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int Number(const json& event, const char* name, int otherwise = 0) {
    const auto it = event.find(name);
    return it != event.end() && it->is_number_integer() ? it->get<int>() : otherwise;
}

} // namespace

Station::Station(StationSetup setup, Changed changed)
    : m_setup(std::move(setup)), m_changed(std::move(changed)) {
    int id = 0;
    for (const std::string& port : m_setup.ports) {
        auto slot = std::make_unique<Slot>();
        slot->id = ++id;
        slot->port = port;
        m_slots.push_back(std::move(slot));
    }
    LoadRecords();
    m_watchdog = std::thread([this] { Watch(); });
}

Station::~Station() {
    {
        std::lock_guard lock(m_mutex);
        m_ending = true;
        for (auto& slot : m_slots) {
            if (!slot->worker)
                continue;
            slot->worker->RequestStop();
            slot->stopAsked = Clock::now();
        }
    }
    m_wake.notify_all();
    m_watchdog.join();
    {
        // Workers that do not end within the grace are killed; their readers then end too.
        std::unique_lock lock(m_mutex);
        const bool ended = m_wake.wait_for(lock, m_setup.stopGrace, [this] {
            return std::none_of(m_slots.begin(), m_slots.end(),
                                [](const auto& slot) { return slot->worker != nullptr; });
        });
        if (!ended)
            for (auto& slot : m_slots)
                if (slot->worker)
                    slot->worker->Kill();
    }
    for (auto& slot : m_slots)
        if (slot->reader.joinable())
            slot->reader.join();
}

std::string Station::CheckUnit(const std::string& unit) {
    std::size_t characters = 0;
    for (const unsigned char c : unit) {
        if (c < 0x20 || c == 0x7f)
            return "a unit id holds no control characters";
        if ((c & 0xc0) != 0x80)
            ++characters;
    }
    if (characters > kUnitMaxLength)
        return "a unit id is at most " + std::to_string(kUnitMaxLength) + " characters long";
    return {};
}

Station::Slot* Station::Find(int slot) {
    return slot >= 1 && slot <= SlotCount() ? m_slots[static_cast<std::size_t>(slot - 1)].get()
                                            : nullptr;
}

const Station::Slot* Station::Find(int slot) const {
    return const_cast<Station*>(this)->Find(slot);
}

namespace {
CommandResult NoSlot(int slot) {
    return {404, "there is no slot " + std::to_string(slot)};
}
} // namespace

CommandResult Station::Refused(const Slot& slot, const std::string& why) {
    return {409, "slot " + std::to_string(slot.id) + " is " + StateName(slot.state) + why};
}

void Station::ClearRun(Slot& slot) {
    slot.status = CUpgradeStatus(CONFIG_FULL);
    slot.index = slot.count = 0;
    slot.fileName.clear();
    slot.percent = slot.waiting = 0;
    slot.secondsLeft.reset();
    slot.delivered.clear();
    slot.prompt.reset();
    slot.outcome.reset();
    slot.eventTime.clear();
    slot.killed = false;
}

void Station::ReplyToPrompt(Slot& slot, const std::string& answer) {
    slot.worker->WriteLine(answer);
    slot.prompt.reset();
    slot.state = State::Running;
    slot.lastEvent = Clock::now();
}

CommandResult Station::Start(int id, const std::optional<std::string>& unit) {
    if (unit)
        if (std::string error = CheckUnit(*unit); !error.empty())
            return {400, error};
    CommandResult result;
    {
        std::unique_lock lock(m_mutex);
        Slot* slot = Find(id);
        if (slot == nullptr)
            return NoSlot(id);
        if (slot->state != State::Idle)
            return Refused(*slot, slot->state >= State::Updated ? ": press Next box first" : "");
        if (unit)
            slot->unit = *unit;
        result = StartLocked(*slot, lock);
    }
    Notify(id);
    return result;
}

int Station::StartAll() {
    std::vector<int> started;
    {
        std::unique_lock lock(m_mutex);
        for (auto& slot : m_slots)
            if (slot->state == State::Idle) {
                StartLocked(*slot, lock);
                started.push_back(slot->id);
            }
    }
    for (const int id : started)
        Notify(id);
    return static_cast<int>(started.size());
}

CommandResult Station::StartLocked(Slot& slot, std::unique_lock<std::mutex>& lock) {
    (void)lock;
    if (m_ending)
        return {409, "the station is ending"};
    // The reader of the last run has ended (the slot left its ended state): it only returns.
    if (slot.reader.joinable())
        slot.reader.join();
    ClearRun(slot);
    slot.lastEvent = Clock::now();

    const std::vector<std::string> args = {
        // NAME=VALUE: a value that starts with a dash is no option.
        "--json",
        "--port=" + slot.port,
        "--mode=" + m_setup.mode,
        "--record=" + m_setup.record,
        "--unit=" + slot.unit,
        "--",
        m_setup.folder};
    std::string error;
    std::shared_ptr<WorkerProcess> worker = WorkerProcess::Start(m_setup.worker, args, &error);
    if (!worker) {
        slot.state = State::Failed;
        ++slot.failed;
        slot.step = "The upgrade program did not start.";
        slot.outcome = ojson{{"outcome", "failed"},
                             {"class", "worker"},
                             {"headline", slot.step},
                             {"text", slot.step + "\n" + m_setup.worker + ": " + error + "\n" +
                                          NextStepLine("", false)}};
        return {};
    }
    slot.state = State::Running;
    slot.step = "Connecting to the box on " + slot.port;
    slot.worker = worker;
    slot.reader = std::thread([this, &slot, worker] { ReadWorker(slot, worker); });
    return {};
}

CommandResult Station::SetUnit(int id, const std::string& unit) {
    if (std::string error = CheckUnit(unit); !error.empty())
        return {400, error};
    {
        std::lock_guard lock(m_mutex);
        Slot* slot = Find(id);
        if (slot == nullptr)
            return NoSlot(id);
        if (slot->state != State::Idle)
            return Refused(*slot, ": the unit id is set before the start");
        slot->unit = unit;
    }
    Notify(id);
    return {};
}

CommandResult Station::Answer(int id, const std::string& answer) {
    {
        std::lock_guard lock(m_mutex);
        Slot* slot = Find(id);
        if (slot == nullptr)
            return NoSlot(id);
        if (slot->state != State::Prompt || !slot->prompt)
            return Refused(*slot, ": it asks nothing");
        const json& answers = (*slot->prompt)["answers"];
        if (std::find(answers.begin(), answers.end(), answer) == answers.end())
            return {400, "the answer is one of " + answers.dump()};
        ReplyToPrompt(*slot, answer);
    }
    Notify(id);
    return {};
}

CommandResult Station::Cancel(int id) {
    {
        std::lock_guard lock(m_mutex);
        Slot* slot = Find(id);
        if (slot == nullptr)
            return NoSlot(id);
        if (slot->state == State::Prompt && slot->prompt) {
            // The prompt's second answer is its Cancel or No: the sequence ends as the dialog's
            // would, with its message.
            const json& answers = (*slot->prompt)["answers"];
            ReplyToPrompt(*slot, answers.size() > 1 ? answers[1].get<std::string>()
                                                    : std::string("cancel"));
        } else if (slot->state == State::Running || slot->state == State::Stopping) {
            slot->worker->RequestStop();
            if (slot->state == State::Running)
                slot->stopAsked = Clock::now();
            slot->state = State::Stopping;
            slot->step = "Stopping the upload ...";
        } else {
            return Refused(*slot, ": nothing to cancel");
        }
    }
    Notify(id);
    return {};
}

CommandResult Station::Rearm(int id) {
    {
        std::lock_guard lock(m_mutex);
        Slot* slot = Find(id);
        if (slot == nullptr)
            return NoSlot(id);
        if (slot->state < State::Updated && slot->state != State::Idle)
            return Refused(*slot, ": cancel it first");
        slot->state = State::Idle;
        slot->unit.clear();
        slot->step.clear();
        ClearRun(*slot);
    }
    Notify(id);
    return {};
}

void Station::ReadWorker(Slot& slot, std::shared_ptr<WorkerProcess> worker) {
    std::optional<json> result;
    std::string line;
    bool reading = true;
    while (reading && worker->ReadLine(&line)) {
        json event = json::parse(line, nullptr, false);
        // Anything else on its output (none is expected) is no event of the stream.
        if (!event.is_object() || !event.contains("event"))
            continue;
        {
            std::lock_guard lock(m_mutex);
            if (Number(event, "schema") != 1) {
                // A worker of another version: its events would be misread.
                slot.outcome = ojson{{"outcome", "failed"},
                                     {"class", "worker"},
                                     {"headline", "The upgrade program speaks another language."},
                                     {"text", "The upgrade program speaks another language.\n" +
                                                  m_setup.worker + " sends events of schema " +
                                                  event.value("schema", json()).dump() +
                                                  "; this station reads schema 1."}};
                worker->RequestStop();
                slot.stopAsked = Clock::now();
                slot.state = State::Stopping;
                reading = false;
            } else {
                if (Text(event, "event") == "result")
                    result = event;
                ApplyEvent(slot, event);
            }
        }
        Notify(slot.id);
    }
    const WorkerExit exit = worker->Wait();
    Finish(slot, result, exit);
}

void Station::ApplyEvent(Slot& slot, const json& event) {
    const auto now = Clock::now();
    const std::string name = Text(event, "event");
    slot.eventTime = Text(event, "time");
    slot.lastEvent = now;
    if (name == "file-started") {
        slot.index = Number(event, "index");
        slot.count = Number(event, "count");
        slot.fileName = UploadFileName(Text(event, "path"));
        slot.percent = slot.waiting = 0;
        slot.secondsLeft.reset();
        slot.status.FileStarted(slot.index, slot.count, Text(event, "path"), now);
    } else if (name == "waiting") {
        slot.waiting = Number(event, "seconds");
        slot.status.Tick(now);
    } else if (name == "progress") {
        slot.waiting = 0;
        slot.percent = std::clamp(Number(event, "percent"), 0, 100);
        const auto left = event.find("seconds_left");
        if (left != event.end() && left->is_number_integer())
            slot.secondsLeft = left->get<int>();
        else
            slot.secondsLeft.reset();
        slot.status.Progress(slot.percent, now);
    } else if (name == "file-completed") {
        slot.delivered.push_back(Text(event, "path"));
        slot.status.FileCompleted();
    } else if (name == "prompt") {
        const auto answers = event.find("answers");
        if (answers == event.end() || !answers->is_array() || answers->empty())
            return;
        slot.prompt = ojson{
            {"id", Number(event, "id")}, {"text", Text(event, "text")}, {"answers", *answers}};
        if (slot.state == State::Running)
            slot.state = State::Prompt;
        slot.status.PromptOpened();
    }
    if (slot.state == State::Running || slot.state == State::Prompt)
        slot.step = slot.status.Text();
}

void Station::Finish(Slot& slot, const std::optional<json>& result, const WorkerExit& exit) {
    if (!result && !m_setup.record.empty()) {
        // A worker that ended without its result wrote no record either: the marker it left at
        // its start becomes one.
        sorvel::record::CUpgradeRecorder(m_setup.record, [](const std::string& text) {
            std::cerr << "sorvel-station: " << text << std::endl;
        }).RecordAbandoned();
    }
    LoadRecords();
    {
        std::lock_guard lock(m_mutex);
        if (result) {
            const std::string outcome = Text(*result, "outcome");
            const std::string reason = Text(*result, "reason");
            slot.outcome = ojson{{"outcome", outcome},
                                 {"class", Text(*result, "class")},
                                 {"headline", Headline(reason)},
                                 {"text", reason}};
            slot.state = outcome == "updated"   ? State::Updated
                         : outcome == "stopped" ? State::Stopped
                                                : State::Failed;
        } else if (!slot.outcome) {
            const std::string headline = slot.killed ? "The upgrade program stopped answering."
                                                     : "The upgrade program ended unexpectedly.";
            const std::string partial =
                slot.index > static_cast<int>(slot.delivered.size()) ? slot.fileName : "";
            slot.outcome = ojson{
                {"outcome", "failed"},
                {"class", "worker"},
                {"headline", headline},
                {"text", headline + "\nIt ended without a result (" + exit.Describe() + ").\n" +
                             NextStepLine(BoxHolds(slot.delivered, partial), false)}};
            slot.state = State::Failed;
        } else {
            slot.state = State::Failed;
        }
        if (slot.state == State::Updated)
            ++slot.updated;
        else
            ++slot.failed;
        slot.step = (*slot.outcome)["headline"].get<std::string>();
        slot.prompt.reset();
        slot.waiting = 0;
        slot.worker.reset();
    }
    m_wake.notify_all();
    Notify(slot.id);
    Notify(0);
}

void Station::Watch() {
    std::unique_lock lock(m_mutex);
    while (!m_ending) {
        m_wake.wait_for(lock, std::chrono::milliseconds(500));
        const auto now = Clock::now();
        std::vector<int> changed;
        for (auto& slot : m_slots) {
            if (!slot->worker)
                continue;
            if (slot->state == State::Running && now - slot->lastEvent > m_setup.silentLimit) {
                slot->worker->RequestStop();
                slot->stopAsked = now;
                slot->state = State::Stopping;
                slot->killed = true;
                slot->step = "The upgrade program stopped answering; stopping it ...";
                changed.push_back(slot->id);
            } else if (slot->state == State::Stopping &&
                       now - slot->stopAsked > m_setup.stopGrace) {
                slot->worker->Kill();
                slot->killed = true;
            }
        }
        if (!changed.empty()) {
            lock.unlock();
            for (const int id : changed)
                Notify(id);
            lock.lock();
        }
    }
}

void Station::LoadRecords() {
    ojson records = ojson::array();
    if (!m_setup.record.empty()) {
        std::ifstream in(m_setup.record, std::ios::binary);
        if (in) {
            in.seekg(0, std::ios::end);
            const std::streamoff size = in.tellg();
            const std::streamoff from = std::max<std::streamoff>(0, size - kRecordTail);
            in.seekg(from);
            std::string text((std::istreambuf_iterator<char>(in)), {});
            // A read from the middle starts inside a line: it is left out.
            if (from > 0)
                text.erase(0, text.find('\n') == std::string::npos ? text.size()
                                                                   : text.find('\n') + 1);
            const auto contents = sorvel::record::ParseRecords(text);
            const auto& attempts = contents.attempts;
            const std::size_t shown = std::min<std::size_t>(attempts.size(), kRecordsShown);
            for (std::size_t i = 0; i < shown; ++i) {
                const auto& a = attempts[attempts.size() - 1 - i];
                records.push_back(
                    ojson{{"end", sorvel::record::IsoUtc(a.end)},
                          {"port", a.port},
                          {"unit", a.unit},
                          {"mode", a.mode},
                          {"outcome", a.outcome},
                          {"class", a.failureClass},
                          {"duration", std::chrono::duration<double>(a.end - a.start).count()},
                          {"headline", Headline(a.reason)},
                          {"reason", a.reason},
                          {"program", a.program}});
            }
        }
    }
    std::lock_guard lock(m_mutex);
    m_records = std::move(records);
}

void Station::Notify(int slot) const {
    if (m_changed)
        m_changed(slot);
}

const char* Station::StateName(State state) {
    switch (state) {
    case State::Idle:
        return "idle";
    case State::Running:
        return "running";
    case State::Prompt:
        return "prompt";
    case State::Stopping:
        return "stopping";
    case State::Updated:
        return "updated";
    case State::Failed:
        return "failed";
    case State::Stopped:
        return "stopped";
    }
    return "idle";
}

ojson Station::SlotJsonLocked(const Slot& slot) {
    ojson file = nullptr;
    if (slot.index > 0)
        file = ojson{{"index", slot.index}, {"count", slot.count}, {"name", slot.fileName}};
    return ojson{{"id", slot.id},
                 {"port", slot.port},
                 {"state", StateName(slot.state)},
                 {"unit", slot.unit},
                 {"step", slot.step},
                 {"file", file},
                 {"percent", slot.percent},
                 {"seconds_left", slot.secondsLeft ? ojson(*slot.secondsLeft) : ojson(nullptr)},
                 {"waiting", slot.waiting},
                 {"prompt", slot.prompt ? *slot.prompt : ojson(nullptr)},
                 {"outcome", slot.outcome ? *slot.outcome : ojson(nullptr)},
                 {"updated", slot.updated},
                 {"failed", slot.failed},
                 {"event_time", slot.eventTime}};
}

ojson Station::SlotJson(int id) const {
    std::lock_guard lock(m_mutex);
    const Slot* slot = Find(id);
    return slot ? SlotJsonLocked(*slot) : ojson(nullptr);
}

ojson Station::RecordsJson() const {
    std::lock_guard lock(m_mutex);
    return m_records;
}

ojson Station::StateJson() const {
    ojson state{{"station",
                 {{"version", m_setup.version},
                  {"folder", m_setup.folder},
                  {"mode", m_setup.mode},
                  {"config", sorvel::record::ToJson(m_setup.config)},
                  {"files", m_setup.files},
                  {"record", m_setup.record}}}};
    std::lock_guard lock(m_mutex);
    ojson slots = ojson::array();
    for (const auto& slot : m_slots)
        slots.push_back(SlotJsonLocked(*slot));
    state["slots"] = std::move(slots);
    state["records"] = m_records;
    return state;
}

} // namespace sorvel::station
