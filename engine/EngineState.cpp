#include "EngineState.h"

#include <utility>

std::atomic<HCOMM> g_hPort{nullptr};
std::atomic<HCOMMREADER> g_hReaderThread{nullptr};
std::atomic<UploadNotifyProc> g_pfnNotify{nullptr};

char g_szUploadFileName[kUploadPathBytes];
sorvel::ReadOnlyFile g_hUploadFile;
std::int64_t g_nUploadFileOffset = 0;
std::int32_t g_nRecordsTotal = 0;
std::int32_t g_nRecordsLeft = 0;
std::int32_t g_nLastRecordLength = 0;
std::uint64_t g_nUploadNumber = 0;
char g_RecordBuffer[kRecordBufferBytes];
tarvik::UploadWatch g_uploadWatch;

std::atomic<bool> g_bUploadMode{false};
std::atomic<bool> g_bTargetReady{false};
std::atomic<bool> g_bUploadRunning{false};

sorvel::Mutex g_engineMutex;
sorvel::Mutex g_recordMutex;
sorvel::Mutex g_uploadMutex;

namespace tarvik {
namespace {

// The current connection. A stale reader or handshake thread may still hold an older one; the
// objects live as long as anybody holds them. Kept in storage that is never destroyed, so that a
// thread still inside a client notification at process exit finds it intact.
struct ConnectionSlot {
    std::mutex mutex;
    std::shared_ptr<EngineConnection> connection;
};

ConnectionSlot& Slot() {
    static ConnectionSlot* slot = new ConnectionSlot;
    return *slot;
}

thread_local std::string t_lastErrorText;
thread_local int t_lastPortFailure = 0;
std::atomic<bool> g_failThreadStartsForTest{false};

} // namespace

namespace {

// Bits on the line for one character of these settings; unknown values count as 8N1's.
double BitsPerCharacter(const DCB& dcb) {
    const double dataBits = dcb.ByteSize >= 5 && dcb.ByteSize <= 8 ? dcb.ByteSize : 8;
    const double parityBits = dcb.Parity != NOPARITY ? 1 : 0;
    const double stopBits =
        dcb.StopBits == TWOSTOPBITS ? 2.0 : (dcb.StopBits == ONE5STOPBITS ? 1.5 : 1.0);
    return 1 + dataBits + parityBits + stopBits;
}

} // namespace

EngineConnection::EngineConnection(HCOMM port, const DCB& dcb) : m_port(port) {
    const double baud = dcb.BaudRate != 0 ? dcb.BaudRate : 115200.0;
    m_byteTime = std::chrono::nanoseconds(
        static_cast<std::int64_t>(BitsPerCharacter(dcb) * 1e9 / baud + 0.5));
}

const DCB& EngineConnection::DefaultLineSettings() {
    static const DCB dcb = [] {
        DCB settings{};
        settings.DCBlength = sizeof(DCB);
        settings.BaudRate = 115200;
        settings.ByteSize = 8;
        settings.Parity = NOPARITY;
        settings.StopBits = ONESTOPBIT;
        return settings;
    }();
    return dcb;
}

bool EngineConnection::Gone() const {
    return m_gone.load(std::memory_order_acquire) || CommExitEventIsSet(m_port);
}

int EngineConnection::Write(const char* bytes, int count) {
    {
        std::lock_guard lock(m_mutex);
        if (m_closing.load(std::memory_order_relaxed)) {
            return 0;
        }
        ++m_writers;
    }
    const int written = CommWrite(m_port, bytes, count);
    std::lock_guard lock(m_mutex);
    if (--m_writers == 0) {
        m_idle.notify_all();
    }
    return written;
}

void EngineConnection::Close() {
    {
        std::lock_guard lock(m_mutex);
        if (m_closing.exchange(true)) {
            return;
        }
    }
    CommClose(m_port);
    std::unique_lock lock(m_mutex);
    m_idle.wait_for(lock, kWriteDrainWait, [this] { return m_writers == 0; });
}

std::shared_ptr<EngineConnection> CurrentConnection() {
    std::lock_guard lock(Slot().mutex);
    return Slot().connection;
}

void SetCurrentConnection(std::shared_ptr<EngineConnection> connection) {
    std::shared_ptr<EngineConnection> previous;
    {
        std::lock_guard lock(Slot().mutex);
        previous = std::exchange(Slot().connection, std::move(connection));
    }
    // previous is released here, outside the slot's lock.
}

void Notify(std::int32_t type, std::int32_t percent, std::int32_t length, char* data) {
    UploadNotifyProc notify = g_pfnNotify.load(std::memory_order_acquire);
    if (notify == nullptr) {
        return;
    }
    _tagUploadNotificationMsgstruct message{type, percent, length, data};
    notify(&message);
}

void SetThreadStartFailureForTest(bool fail) {
    g_failThreadStartsForTest.store(fail);
}

bool ThreadStartFailsForTest() {
    return g_failThreadStartsForTest.load();
}

void SetLastErrorText(std::string text) {
    t_lastErrorText = std::move(text);
}

const char* LastErrorText() {
    return t_lastErrorText.c_str();
}

void SetLastPortFailure(int failure) {
    t_lastPortFailure = failure;
}

int LastPortFailure() {
    return t_lastPortFailure;
}

} // namespace tarvik
