// A pseudo-terminal whose slave side is opened through the serial channel and installed as the
// engine's connection, without a reader thread: a test calls the receive filter itself and reads
// what the engine wrote from the master side.
#pragma once

#include "EngineState.h"

#include <chrono>
#include <memory>
#include <string>

namespace tarvik::test {

class PtyPort {
public:
    PtyPort();
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    bool Ok() const { return m_connection != nullptr; }
    const std::string& SlavePath() const { return m_slavePath; }

    // Everything the engine wrote so far: writes a marker through the same port and reads up to
    // it, so bytes still on their way are not missed.
    std::string TakeWritten();

private:
    int m_master = -1;
    std::string m_slavePath;
    std::shared_ptr<EngineConnection> m_connection;
};

} // namespace tarvik::test
