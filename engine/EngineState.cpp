#include "EngineState.h"

#include <utility>

std::atomic<HCOMM> g_hPort{nullptr};
std::atomic<HCOMMREADER> g_hReaderThread{nullptr};
std::atomic<UploadNotifyProc> g_pfnNotify{nullptr};

char g_szUploadFileName[kUploadPathBytes];
int g_hUploadFile = kNoUploadFile;
std::int64_t g_nUploadFileOffset = 0;
std::int32_t g_nRecordsTotal = 0;
std::int32_t g_nRecordsLeft = 0;
std::int32_t g_nLastRecordLength = 0;
std::uint64_t g_nUploadNumber = 0;
char g_RecordBuffer[kRecordBufferBytes];

std::atomic<bool> g_bUploadMode{false};
std::atomic<bool> g_bTargetReady{false};
std::atomic<bool> g_bUploadRunning{false};

std::mutex g_engineMutex;
std::mutex g_uploadMutex;
std::mutex g_recordMutex;

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

} // namespace

int EngineConnection::Write(const char* bytes, int count) {
    {
        std::lock_guard lock(m_mutex);
        if (m_closing.load(std::memory_order_relaxed)) {
            return 0;
        }
        ++m_writers;
    }
    int written = CommWrite(m_port, bytes, count);
    bool closeHere = false;
    {
        std::lock_guard lock(m_mutex);
        if (--m_writers == 0) {
            closeHere = m_closeByWriter && !m_closed;
            if (closeHere) {
                m_closed = true;
            }
            m_idle.notify_all();
        }
    }
    if (closeHere) {
        CommClose(m_port);
    }
    return written;
}

void EngineConnection::FilterEnter() {
    std::lock_guard lock(m_mutex);
    m_filterInside = true;
    m_filterNotifying = false;
    m_filterThread = std::this_thread::get_id();
}

void EngineConnection::FilterLeave() {
    std::lock_guard lock(m_mutex);
    m_filterInside = false;
    m_filterNotifying = false;
    m_idle.notify_all();
}

void EngineConnection::NotificationBegin() {
    std::lock_guard lock(m_mutex);
    m_filterNotifying = true;
    m_idle.notify_all();
}

void EngineConnection::NotificationEnd() {
    std::lock_guard lock(m_mutex);
    m_filterNotifying = false;
}

void EngineConnection::WaitForFilter() {
    std::unique_lock lock(m_mutex);
    if (!m_filterInside || m_filterThread == std::this_thread::get_id()) {
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    while (m_filterInside) {
        const auto deadline = start + (m_filterNotifying ? kNotificationGrace : kWriteDrainWait);
        if (std::chrono::steady_clock::now() >= deadline) {
            return;
        }
        m_idle.wait_until(lock, deadline);
    }
}

void EngineConnection::BeginClose() {
    std::lock_guard lock(m_mutex);
    m_closing.store(true, std::memory_order_release);
}

void EngineConnection::FinishClose() {
    {
        std::unique_lock lock(m_mutex);
        m_closing.store(true, std::memory_order_release);
        if (m_closed || m_closeByWriter) {
            return;
        }
        if (!m_idle.wait_for(lock, kWriteDrainWait, [this] { return m_writers == 0; })) {
            // The last write still in flight closes the port when it ends.
            m_closeByWriter = true;
            return;
        }
        m_closed = true;
    }
    CommClose(m_port);
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

void SetLastErrorText(std::string text) {
    t_lastErrorText = std::move(text);
}

const char* LastErrorText() {
    return t_lastErrorText.c_str();
}

} // namespace tarvik
