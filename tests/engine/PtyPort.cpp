#include "PtyPort.h"

#include "Tarvik.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace tarvik::test {
namespace {

// Unlikely in any test's data: eight bytes that end the read.
const std::string kMarker = "\xA5\x5A\xC3\x3C<end>";

} // namespace

PtyPort::PtyPort() {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0) {
        return;
    }
    ::close(slave);
    m_slavePath = name;
    termios raw{};
    ::tcgetattr(m_master, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(m_master, TCSANOW, &raw);
    g_dcbComm = CTarvik(nullptr).m_dcb;
    HCOMM port = CommOpen(m_slavePath.c_str(), nullptr);
    if (port == nullptr) {
        return;
    }
    m_connection = std::make_shared<EngineConnection>(port);
    SetCurrentConnection(m_connection);
}

PtyPort::~PtyPort() {
    if (m_connection) {
        SetCurrentConnection(nullptr);
        m_connection->Close();
    }
    if (m_master >= 0) {
        ::close(m_master);
    }
}

std::string PtyPort::TakeWritten() {
    if (!m_connection) {
        return {};
    }
    m_connection->Write(kMarker.data(), static_cast<int>(kMarker.size()));
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (received.size() < kMarker.size() ||
           received.compare(received.size() - kMarker.size(), kMarker.size(), kMarker) != 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return "<marker not seen>" + received;
        }
        pollfd fd{m_master, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t got = ::read(m_master, buffer, sizeof buffer);
        if (got > 0) {
            received.append(buffer, static_cast<std::size_t>(got));
        } else if (got < 0 && errno != EINTR && errno != EAGAIN) {
            return "<read failed>" + received;
        }
    }
    received.resize(received.size() - kMarker.size());
    return received;
}

} // namespace tarvik::test
