// Shared pieces of the channel tests.
#pragma once

#include "Comm.h"
#include "WaitUntil.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace sorvel::test {

// The engine's line settings: 115200 baud, 8N1, no flow control, DTR on, RTS off.
inline DCB StandardDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 115200;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return dcb;
}

// Waits until the predicate holds (checked whenever Notify is called) or the time-out passes.
class Signal {
public:
    template <class Pred>
    bool WaitFor(Pred pred, std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, timeout, pred);
    }
    template <class Fn>
    void Update(Fn fn) {
        // Notified under the lock: a waiter may destroy this object as soon as it sees the change.
        std::lock_guard lock(m_mutex);
        fn();
        m_cv.notify_all();
    }
    std::mutex& Mutex() { return m_mutex; }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
};

} // namespace sorvel::test
