// The record file's system calls on Linux: open with O_APPEND, flock, one write, fsync.
#include "Program.h"
#include "UniqueFd.h"
#include "UpgradeRecordFile.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

namespace sorvel::record::os {

namespace {

bool Fail(std::string* error, const std::string& what, const std::string& path) {
    const int number = errno; // before anything else can change it
    *error = what + " " + path + ": " + SystemErrorText(number);
    return false;
}

} // namespace

std::string StateFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    // Only an absolute XDG_STATE_HOME counts: a relative one would depend on the working folder.
    if (state != nullptr && state[0] == '/')
        return std::string(state) + "/sorvel";
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0')
        return {};
    return std::string(home) + "/.local/state/sorvel";
}

bool AppendLocked(const std::string& path, const std::string& line, std::string* error) {
    int raw = -1;
    do {
        raw = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0)
        return Fail(error, "cannot open", path);
    const UniqueFd fd(raw);
    int locked = -1;
    do {
        locked = ::flock(fd.Get(), LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0)
        return Fail(error, "cannot lock", path);
    // One write under the lock. A regular file takes it whole; should it not (a full disk), the
    // rest follows at once, still under the lock, so that no other record lands in between.
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd.Get(), line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return Fail(error, "cannot write", path);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.Get()) != 0 && errno != EINVAL) // EINVAL: a device that keeps nothing
        return Fail(error, "cannot flush", path);
    return true; // closing the descriptor releases the lock
}

int CurrentProcessId() {
    return static_cast<int>(::getpid());
}

bool ProcessRuns(int pid) {
    if (pid <= 0)
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

std::string UserName() {
    // The account, not $USER, which a shell or sudo may have set to someone else.
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->pw_name;
    const char* user = std::getenv("USER");
    return user != nullptr ? user : "";
}

} // namespace sorvel::record::os
