// The parts of WorkerProcess that need no system call: output split into lines, and the
// quoting of a Windows command line.
#include "WorkerProcess.h"

namespace sorvel::station {

namespace {

void DropCarriageReturn(std::string* line) {
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
}

} // namespace

bool WorkerProcess::ReadLine(std::string* line) {
    for (;;) {
        if (const auto end = m_buffer.find('\n', m_scanned); end != std::string::npos) {
            line->assign(m_buffer, 0, end);
            m_buffer.erase(0, end + 1);
            m_scanned = 0;
            DropCarriageReturn(line);
            return true;
        }
        // A worker that writes without ever ending a line must not take all memory.
        if (m_buffer.size() >= kMaxLineBytes) {
            line->assign(m_buffer, 0, kMaxLineBytes);
            m_buffer.erase(0, kMaxLineBytes);
            m_scanned = m_buffer.size();
            return true;
        }
        m_scanned = m_buffer.size();
        if (!m_outputEnded && !FillBuffer())
            m_outputEnded = true;
        if (m_outputEnded) {
            if (m_buffer.empty())
                return false;
            *line = std::move(m_buffer);
            m_buffer.clear();
            m_scanned = 0;
            DropCarriageReturn(line);
            return true;
        }
    }
}

// As CommandLineToArgvW reads it back: 2n backslashes before a '"' give n backslashes and end or
// begin quoting, 2n+1 give n backslashes and a literal '"'; backslashes anywhere else are literal.
std::string QuoteWindowsArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos)
        return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"')
            quoted.append(backslashes * 2 + 1, '\\');
        else
            quoted.append(backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    // Before the closing quote, so that it stays a quote.
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

} // namespace sorvel::station
