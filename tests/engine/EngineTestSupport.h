// Helpers for the engine's tests against the box: a recorder of notifications and a fixture that
// runs the engine against the box simulator, next to the helpers of UploadTestSupport.h.
#pragma once

#include "BoxSimulator.h"
#include "EngineState.h"
#include "RecordingPresenter.h"
#include "Tarvik.h"
#include "TempDir.h"
#include "UploadTestSupport.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tarvik::test {

struct Notification {
    std::int32_t type = -1;
    std::int32_t percent = 0;
    std::int32_t length = 0;
    bool hasData = false;
    std::string data;   // copied during the call
    std::string thread; // "reader", "handshake" or "other", as the hook decides
};

// Records every notification given to Notify(). One log is current at a time (Install); the
// notification function is a plain function, as clients pass it. A hook may run inside each
// notification (on the engine's thread), for tests that call back into the engine or block.
class NotificationLog {
public:
    NotificationLog();
    ~NotificationLog();
    NotificationLog(const NotificationLog&) = delete;
    NotificationLog& operator=(const NotificationLog&) = delete;

    static void Notify(_tagUploadNotificationMsgstruct* message);

    // Runs inside every notification after it was recorded.
    void SetHook(std::function<void(const Notification&)> hook);
    // Removes the hook and waits until no notification runs the old one any more, so that what
    // it refers to may go.
    void RemoveHook();

    std::vector<Notification> All() const;
    std::vector<Notification> OfType(std::int32_t type) const;
    std::size_t Count(std::int32_t type) const;
    // All the bytes of UPLOAD_MSG_DATA notifications, in order.
    std::string Data() const;
    void Clear();
    bool WaitFor(const std::function<bool(const std::vector<Notification>&)>& predicate,
                 std::chrono::milliseconds timeout) const;
    bool WaitForCount(std::int32_t type, std::size_t n, std::chrono::milliseconds timeout) const;
    // Waits until all the UPLOAD_MSG_DATA bytes so far equal data.
    bool WaitForData(const std::string& data, std::chrono::milliseconds timeout) const;

private:
    void Add(const _tagUploadNotificationMsgstruct& message);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<Notification> m_all;
    std::function<void(const Notification&)> m_hook;
    int m_hooksRunning = 0;
};

using sorvel::test::WaitUntil;

// Sets up an upload as UploadURTFile does, without a connection or a handshake thread: opens
// path, sets the flags for the given state. False when the file does not open.
enum class FilterMode { Plain, Handshaking, Streaming };
bool PrepareUpload(const std::string& path, FilterMode mode);

std::string Hex(const std::string& bytes);

// The engine (m_engine, notifying m_log) against a box on a fresh pseudo-terminal, with a short
// handshake period; the library-wide state is reset around each test.
class EngineBoxTest : public ::testing::Test {
protected:
    static constexpr auto kWait = std::chrono::seconds(10);

    void SetUp() override;
    void TearDown() override;

    // A box started on a fresh pseudo-terminal, expecting the files given; m_engine's port.
    sorvel::boxsim::BoxSimulator& StartBox(sorvel::boxsim::Options options = {},
                                           const std::vector<std::string>& files = {});
    static sorvel::boxsim::Options Silent();
    unsigned Connect(CTarvik& engine);
    // Connect answers 0 once the port is free again: a reader thread stopped while inside a
    // notification lets it go when the notification returns.
    bool ConnectWhenFree();
    std::string File(const std::string& name, const Bytes& bytes);
    static unsigned Upload(CTarvik& engine, std::string path) {
        return engine.UploadURTFile(path.data());
    }
    // Writes a mark byte through the engine's port: whatever the box receives after it was
    // written after this call.
    static constexpr std::uint8_t kMark = 0xEE;
    void Mark();
    // Waits until the box has received n marks in all.
    bool WaitForMarks(std::size_t n) const;
    // Bytes the box received after the last mark.
    std::vector<std::uint8_t> AfterLastMark() const;

    sorvel::test::RecordingPresenter m_presenter;
    sorvel::test::TempDir m_dir;
    NotificationLog m_log;
    std::unique_ptr<sorvel::boxsim::BoxSimulator> m_box;
    CTarvik m_engine{&NotificationLog::Notify};
};

} // namespace tarvik::test
