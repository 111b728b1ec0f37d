// A program run by a test, with pipes on its standard streams: input can be written to it,
// signals sent, and its output collected until it ends, all with deadlines.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sorvel::test {

class ChildProcess {
public:
    // Runs program with args; extraEnv entries ("NAME=value") come before the inherited ones, so
    // they win; cwd, when not empty, is the program's working directory. SIGINT and SIGTERM act
    // in the child whatever this process does with them.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extraEnv = {}, const std::string& cwd = {});
    ~ChildProcess(); // kills the program if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void Input(const std::string& text);
    void CloseInput();
    void Signal(int sig);
    // Reads output until it contains text; false after the time-out.
    bool WaitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Reads everything until the program ends; its exit status, or -1. Standard input is closed
    // first unless keepInput.
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(60), bool keepInput = false);

    pid_t Pid() const { return m_pid; }

    std::string out, err;

private:
    bool ReadSome(std::chrono::steady_clock::time_point deadline);

    pid_t m_pid = -1;
    int m_in = -1, m_out = -1, m_err = -1;
};

// A finished run of a program that reads no input.
struct ProgramRun {
    int status = -1;
    std::string out, err;
};
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd = {});

} // namespace sorvel::test
