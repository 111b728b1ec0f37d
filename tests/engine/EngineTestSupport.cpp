#include "EngineTestSupport.h"

#include "UploadFile.h"
#include "UploadProtocol.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <thread>

namespace tarvik::test {
namespace {

// The current log, and how many notifications are inside it: a log goes only when none is.
std::mutex g_currentMutex;
std::condition_variable g_currentIdle;
NotificationLog* g_current = nullptr;
int g_inFlight = 0;

} // namespace

NotificationLog::NotificationLog() {
    std::lock_guard lock(g_currentMutex);
    g_current = this;
}

NotificationLog::~NotificationLog() {
    std::unique_lock lock(g_currentMutex);
    if (g_current == this) {
        g_current = nullptr;
    }
    g_currentIdle.wait(lock, [] { return g_inFlight == 0; });
}

void NotificationLog::Notify(_tagUploadNotificationMsgstruct* message) {
    NotificationLog* log = nullptr;
    {
        std::lock_guard lock(g_currentMutex);
        log = g_current;
        g_inFlight += log != nullptr ? 1 : 0;
    }
    if (log != nullptr) {
        log->Add(*message);
        std::lock_guard lock(g_currentMutex);
        --g_inFlight;
        g_currentIdle.notify_all();
    }
}

void NotificationLog::Add(const _tagUploadNotificationMsgstruct& message) {
    Notification entry;
    entry.type = message.nMsgType;
    entry.percent = message.nPercent;
    entry.length = message.nDataLength;
    entry.hasData = message.pData != nullptr;
    if (message.pData != nullptr && message.nDataLength > 0) {
        entry.data.assign(message.pData, static_cast<std::size_t>(message.nDataLength));
    }
    std::function<void(const Notification&)> hook;
    {
        std::lock_guard lock(m_mutex);
        m_all.push_back(entry);
        hook = m_hook;
        m_hooksRunning += hook ? 1 : 0;
        m_changed.notify_all();
    }
    if (hook) {
        hook(entry);
        std::lock_guard lock(m_mutex);
        --m_hooksRunning;
        m_changed.notify_all();
    }
}

void NotificationLog::RemoveHook() {
    std::unique_lock lock(m_mutex);
    m_hook = nullptr;
    m_changed.wait(lock, [this] { return m_hooksRunning == 0; });
}

void NotificationLog::SetHook(std::function<void(const Notification&)> hook) {
    std::lock_guard lock(m_mutex);
    m_hook = std::move(hook);
}

std::vector<Notification> NotificationLog::All() const {
    std::lock_guard lock(m_mutex);
    return m_all;
}

namespace {

std::size_t CountOf(const std::vector<Notification>& all, std::int32_t type) {
    return static_cast<std::size_t>(std::count_if(
        all.begin(), all.end(), [&](const Notification& n) { return n.type == type; }));
}

std::string DataOf(const std::vector<Notification>& all) {
    std::string data;
    for (const Notification& n : all) {
        data += n.type == UPLOAD_MSG_DATA ? n.data : std::string();
    }
    return data;
}

} // namespace

std::vector<Notification> NotificationLog::OfType(std::int32_t type) const {
    std::vector<Notification> result = All();
    std::erase_if(result, [&](const Notification& n) { return n.type != type; });
    return result;
}

std::size_t NotificationLog::Count(std::int32_t type) const {
    return CountOf(All(), type);
}

std::string NotificationLog::Data() const {
    return DataOf(All());
}

bool NotificationLog::WaitForData(const std::string& data,
                                  std::chrono::milliseconds timeout) const {
    return WaitFor([&](const std::vector<Notification>& all) { return DataOf(all) == data; },
                   timeout);
}

bool NotificationLog::WaitForCount(std::int32_t type, std::size_t n,
                                   std::chrono::milliseconds timeout) const {
    return WaitFor([&](const std::vector<Notification>& all) { return CountOf(all, type) >= n; },
                   timeout);
}

void NotificationLog::Clear() {
    std::lock_guard lock(m_mutex);
    m_all.clear();
}

bool NotificationLog::WaitFor(
    const std::function<bool(const std::vector<Notification>&)>& predicate,
    std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return predicate(m_all); });
}

bool PrepareUpload(const std::string& path, FilterMode mode) {
    std::lock_guard lock(g_uploadMutex);
    std::snprintf(g_szUploadFileName, sizeof g_szUploadFileName, "%s", path.c_str());
    ++g_nUploadNumber;
    g_nLastRecordLength = 0;
    g_uploadWatch = {};
    g_uploadWatch.lastRequestAt = std::chrono::steady_clock::now();
    if (OpenUploadFile() == 0) {
        return false;
    }
    g_bUploadRunning.store(mode != FilterMode::Plain);
    g_bUploadMode.store(mode != FilterMode::Plain);
    g_bTargetReady.store(mode == FilterMode::Streaming);
    return true;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char buffer[4];
    for (unsigned char c : bytes) {
        std::snprintf(buffer, sizeof buffer, "%02x ", c);
        out += buffer;
    }
    return out;
}

void EngineBoxTest::SetUp() {
    ResetEngine();
    SetHandshakeTimingForTest(std::chrono::milliseconds(5), std::chrono::milliseconds(15000));
}

void EngineBoxTest::TearDown() {
    m_log.RemoveHook();
    ResetEngine();
}

sorvel::boxsim::BoxSimulator& EngineBoxTest::StartBox(sorvel::boxsim::Options options,
                                                      const std::vector<std::string>& files) {
    m_box = std::make_unique<sorvel::boxsim::BoxSimulator>(std::move(options));
    EXPECT_TRUE(m_box->Ok()) << m_box->Error();
    for (const std::string& file : files) {
        EXPECT_TRUE(m_box->Expect(file));
    }
    m_box->Start();
    std::snprintf(m_engine.m_szPortName, sizeof m_engine.m_szPortName, "%s",
                  m_box->SlavePath().c_str());
    return *m_box;
}

sorvel::boxsim::Options EngineBoxTest::Silent() {
    sorvel::boxsim::Options options;
    options.answerHandshake = false;
    return options;
}

unsigned EngineBoxTest::Connect(CTarvik& engine) {
    std::snprintf(engine.m_szPortName, sizeof engine.m_szPortName, "%s",
                  m_box->SlavePath().c_str());
    return engine.Connect();
}

bool EngineBoxTest::ConnectWhenFree() {
    return WaitUntil([&] { return m_engine.Connect() == 0; }, kWait);
}

std::string EngineBoxTest::File(const std::string& name, const Bytes& bytes) {
    return m_dir.Write(name, bytes).string();
}

void EngineBoxTest::Mark() {
    auto connection = CurrentConnection();
    ASSERT_TRUE(connection);
    const char mark = static_cast<char>(kMark);
    ASSERT_EQ(connection->Write(&mark, 1), 1);
}

bool EngineBoxTest::WaitForMarks(std::size_t n) const {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    for (;;) {
        const auto received = m_box->Received();
        if (static_cast<std::size_t>(std::count(received.begin(), received.end(), kMark)) >= n) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !m_box->WaitForReceived(received.size() + 1, left)) {
            return false;
        }
    }
}

std::vector<std::uint8_t> EngineBoxTest::AfterLastMark() const {
    const auto received = m_box->Received();
    auto mark = std::find(received.rbegin(), received.rend(), kMark);
    return {mark.base(), received.end()};
}

} // namespace tarvik::test
