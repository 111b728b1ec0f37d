// A pseudo-terminal pair for channel tests: the test plays the far end on the master side,
// the channel opens SlavePath(). A slave descriptor is held open so that the channel can close
// and reopen the port, and so the test can look at the line settings and the input queue.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <termios.h>
#include <vector>

namespace sorvel::test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return m_path; }
    int Master() const { return m_master; }
    int HeldSlave() const { return m_slave; }

    // Writes all bytes to the master (waits for room); false on error.
    bool Send(const std::vector<std::uint8_t>& bytes);
    bool Send(const std::string& bytes);
    // Reads from the master until n bytes came or the time-out passed; returns what came.
    std::vector<std::uint8_t> Receive(std::size_t n, std::chrono::milliseconds timeout);
    // Bytes waiting in the slave's input queue (sent by the master, not yet read).
    int SlaveInputPending() const;
    // Closes the master: the slave side hangs up, as when an adapter is unplugged.
    void HangUp();
    termios SlaveSettings() const;

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

} // namespace sorvel::test
