#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sorvel::test {

using Clock = std::chrono::steady_clock;

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& extraEnv, const std::string& cwd) {
    int in[2], out[2], err[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env(extraEnv);
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    // As from a terminal: Ctrl-C and the stop signals act, whatever this process ignores.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    posix_spawnattr_setsigdefault(&attr, &signals);
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attr, &signals);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    EXPECT_EQ(posix_spawn(&m_pid, program.c_str(), &actions, &attr, argv.data(), envp.data()), 0);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    m_in = in[1];
    m_out = out[0];
    m_err = err[0];
}

ChildProcess::~ChildProcess() {
    CloseInput();
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0)
        ::close(m_out);
    if (m_err >= 0)
        ::close(m_err);
}

void ChildProcess::Input(const std::string& text) {
    EXPECT_EQ(::write(m_in, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

void ChildProcess::CloseInput() {
    if (m_in >= 0)
        ::close(m_in);
    m_in = -1;
}

void ChildProcess::Signal(int sig) {
    if (m_pid > 0)
        ::kill(m_pid, sig);
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (out.find(text) == std::string::npos) {
        if (!ReadSome(deadline))
            return false;
    }
    return true;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout, bool keepInput) {
    if (!keepInput)
        CloseInput();
    auto deadline = Clock::now() + timeout;
    while (ReadSome(deadline)) {
    }
    // A program still running at the deadline is ended rather than waited for.
    if (m_pid > 0 && Clock::now() >= deadline)
        ::kill(m_pid, SIGKILL);
    int status = 0;
    if (m_pid <= 0 || ::waitpid(m_pid, &status, 0) != m_pid)
        return -1;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// False once both streams ended or the deadline passed.
bool ChildProcess::ReadSome(Clock::time_point deadline) {
    pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    if (fds[0].fd < 0 && fds[1].fd < 0)
        return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || ::poll(fds, 2, static_cast<int>(left.count())) <= 0)
        return false;
    char buffer[4096];
    bool open = false;
    for (int i = 0; i < 2; ++i) {
        int& fd = i == 0 ? m_out : m_err;
        if (fd < 0)
            continue;
        if (fds[i].revents) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fd);
                fd = -1;
                continue;
            }
        }
        open = true;
    }
    return open;
}

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd) {
    ChildProcess child(program, args, {}, cwd);
    ProgramRun run;
    run.status = child.Wait();
    run.out = std::move(child.out);
    run.err = std::move(child.err);
    return run;
}

} // namespace sorvel::test
