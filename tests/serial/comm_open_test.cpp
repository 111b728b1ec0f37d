// Opening, configuring and closing a port, over pseudo-terminals.
#include "Comm.h"
#include "PtyPair.h"
#include "RecordingPresenter.h"
#include "SerialTestSupport.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sorvel::test {
namespace {

class CommOpenTest : public ::testing::Test {
protected:
    void SetUp() override { g_dcbComm = StandardDcb(); }
    RecordingPresenter presenter;
    PtyPair pty;
};

TEST_F(CommOpenTest, OpensAPseudoTerminalQuietlyAndClosesIt) {
    HCOMM port = CommOpen(pty.SlavePath().c_str());
    ASSERT_NE(port, nullptr) << CommLastOpenError();
    EXPECT_EQ(CommLastOpenError(), "");
    // A pseudo-terminal has no modem lines or error counters: that is no error to show.
    EXPECT_EQ(presenter.Count(), 0u);
    EXPECT_FALSE(CommExitEventIsSet(port));
    EXPECT_EQ(CommClose(port), 1);
    // A handle that was closed is no port any more.
    EXPECT_EQ(CommClose(port), 0);
    EXPECT_EQ(CommClose(nullptr), 0);
}

TEST_F(CommOpenTest, LineSettingsAreSetExplicitlyWhateverThePreviousUserLeft) {
    // A previous program left cooked mode, two stop bits, hardware and software flow control,
    // parity and a slow speed.
    termios old = pty.SlaveSettings();
    old.c_lflag |= ICANON | ECHO | ISIG;
    old.c_cflag |= CSTOPB | CRTSCTS | PARENB;
    old.c_cflag &= ~CLOCAL;
    old.c_iflag |= IXON | IXOFF | IXANY | INPCK | ICRNL;
    old.c_oflag |= OPOST;
    cfsetspeed(&old, B9600);
    ASSERT_EQ(tcsetattr(pty.HeldSlave(), TCSANOW, &old), 0);

    HCOMM port = CommOpen(pty.SlavePath().c_str());
    ASSERT_NE(port, nullptr);
    termios tio = pty.SlaveSettings();
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (CSTOPB | CRTSCTS | PARENB), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | INPCK | ICRNL), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(presenter.Count(), 0u);
    CommClose(port);
}

// Every DCB is applied and the port is used whatever the outcome; settings the device refuses or
// does not keep (a pseudo-terminal keeps 8 data bits without parity whatever it is asked: only
// reading the settings back shows it) are shown as an error, with the program's caption.
TEST_F(CommOpenTest, DcbSettingsReachTheLineOrAreReported) {
    const std::vector<std::string> none, refused = {"Error - Cannot set port state."};
    struct Case {
        const char* name;
        std::function<void(DCB&)> change;
        const std::vector<std::string>& messages;
        std::function<void(const termios&)> check;
    };
    const std::vector<Case> cases = {
        {"flow control, two stop bits, 9600",
         [](DCB& d) {
             d.BaudRate = 9600;
             d.StopBits = TWOSTOPBITS;
             d.fOutxCtsFlow = d.fOutX = d.fInX = 1;
             d.XonChar = 0x11;
             d.XoffChar = 0x13;
         },
         none,
         [](const termios& tio) {
             EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
             EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
             EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
             EXPECT_EQ(tio.c_cc[VSTART], 0x11);
             EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
             EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
         }},
        {"a rate without a constant", [](DCB& d) { d.BaudRate = 250000; }, none, nullptr},
        {"7E1, not kept",
         [](DCB& d) {
             d.ByteSize = 7;
             d.Parity = EVENPARITY;
         },
         refused, nullptr},
        {"9 data bits", [](DCB& d) { d.ByteSize = 9; }, refused, nullptr},
        {"no rate", [](DCB& d) { d.BaudRate = 0; }, refused, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_dcbComm = StandardDcb();
        c.change(g_dcbComm);
        HCOMM port = CommOpen(pty.SlavePath().c_str());
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(presenter.Texts(), c.messages);
        if (c.check)
            c.check(pty.SlaveSettings());
        EXPECT_EQ(CommWrite(port, "ok", 2), 2);
        EXPECT_EQ(pty.Receive(2, std::chrono::seconds(5)), (std::vector<std::uint8_t>{'o', 'k'}));
        CommClose(port);
        for (const MessageRequest& m : presenter.Messages()) {
            EXPECT_EQ(m.caption, "serial_tests.exe");
            EXPECT_EQ(m.flags, MB_ICONERROR);
        }
        presenter.Clear();
    }
}

TEST_F(CommOpenTest, APortHeldByUsOrLockedByAnotherProgramDoesNotOpenAgainUntilClosed) {
    HCOMM port = CommOpen(pty.SlavePath().c_str());
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(CommOpen(pty.SlavePath().c_str()), nullptr) << "even for root";
    EXPECT_NE(CommLastOpenError().find("held by another program"), std::string::npos)
        << CommLastOpenError();
    // Another program's own open sees the lock.
    int other = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);

    // Closing lets go: the port opens again, with a clear exit event.
    EXPECT_EQ(CommClose(port), 1);
    HCOMM again = CommOpen(pty.SlavePath().c_str());
    ASSERT_NE(again, nullptr) << CommLastOpenError();
    EXPECT_FALSE(CommExitEventIsSet(again));
    CommClose(again);

    // And a lock that another program holds keeps us out, naming the port.
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(CommOpen(pty.SlavePath().c_str()), nullptr);
    EXPECT_NE(CommLastOpenError().find(pty.SlavePath()), std::string::npos);
    EXPECT_EQ(presenter.Count(), 0u);
    close(other);
}

// Exclusive mode does stop an ordinary user, and must not outlive the connection while another
// descriptor (here the test's, like a simulator's) keeps the device open.
TEST_F(CommOpenTest, ExclusiveModeStopsOrdinaryUsersOnlyWhileOpen) {
    ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0666), 0);
    auto openAsNobody = [&]() -> int {
        pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(3);
            int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            _exit(fd >= 0 ? 0 : (errno == EBUSY ? 1 : 2));
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    if (geteuid() != 0)
        GTEST_SKIP() << "needs to switch users";
    HCOMM port = CommOpen(pty.SlavePath().c_str());
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(openAsNobody(), 1); // EBUSY
    CommClose(port);
    EXPECT_EQ(openAsNobody(), 0);
}

TEST_F(CommOpenTest, AMissingPortFailsSilentlyAndKeepsTheReason) {
    EXPECT_EQ(CommOpen("/dev/no-such-serial-port"), nullptr);
    EXPECT_EQ(CommLastOpenError(),
              "/dev/no-such-serial-port: No such file or directory (is the adapter plugged in?)");
    TempDir dir;
    auto file = dir.Write("plain.txt", std::string("not a port"));
    EXPECT_EQ(CommOpen(file.c_str()), nullptr);
    EXPECT_EQ(CommLastOpenError(), file.string() + ": not a serial port");
    EXPECT_EQ(presenter.Count(), 0u);
    // The reason belongs to the thread whose open failed.
    std::string elsewhere = "unset";
    std::thread([&] { elsewhere = CommLastOpenError(); }).join();
    EXPECT_EQ(elsewhere, "");
}

// Puts an environment variable back as it was.
struct SavedEnv {
    explicit SavedEnv(const char* n) : name(n) {
        if (const char* v = getenv(n))
            value = v;
    }
    ~SavedEnv() {
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    const char* name;
    std::optional<std::string> value;
};

class ComNameTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1); }
    std::filesystem::path Link(int n) {
        return dir.Path() / "sorvel/dosdevices" / ("com" + std::to_string(n));
    }

    SavedEnv m_xdg{"XDG_CONFIG_HOME"}, m_home{"HOME"};
    TempDir dir;
};

TEST_F(ComNameTest, ComNamesMapToSerialDevicesAndOtherNamesStayAsGiven) {
    EXPECT_EQ(CommDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(CommDevicePath("COM1:"), "/dev/ttyS0");
    EXPECT_EQ(CommDevicePath("com12:"), "/dev/ttyS11");
    EXPECT_EQ(CommDevicePath("Com2"), "/dev/ttyS1");
    for (const char* name : {"COM0", "COM", "COM:", "COM01", "COMx", "COM1::", "COM1x", "xCOM1",
                             "/dev/ttyUSB0", "", "COM-1", "COM1234567"})
        EXPECT_EQ(CommDevicePath(name), name) << name;
}

TEST_F(ComNameTest, TheUsersMappingWinsAndIsFoundThroughHomeToo) {
    PtyPair pty;
    std::filesystem::create_directories(Link(3).parent_path());
    std::filesystem::create_symlink(pty.SlavePath(), Link(3));
    EXPECT_EQ(CommDevicePath("COM3:"), Link(3).string());
    EXPECT_EQ(CommDevicePath("com4"), "/dev/ttyS3");

    g_dcbComm = StandardDcb();
    HCOMM port = CommOpen("com3:");
    ASSERT_NE(port, nullptr) << CommLastOpenError();
    CommClose(port);

    // Without XDG_CONFIG_HOME the mapping lives under ~/.config.
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::create_directories(dir.Path() / ".config/sorvel/dosdevices");
    std::filesystem::create_symlink(pty.SlavePath(), dir.Path() / ".config/sorvel/dosdevices/com5");
    setenv("HOME", dir.Path().c_str(), 1);
    EXPECT_EQ(CommDevicePath("COM5"), (dir.Path() / ".config/sorvel/dosdevices/com5").string());

    // A mapping whose device is gone names the link in the reason.
    std::filesystem::remove(dir.Path() / ".config/sorvel/dosdevices/com5");
    std::filesystem::create_symlink("/dev/no-such-tty",
                                    dir.Path() / ".config/sorvel/dosdevices/com5");
    EXPECT_EQ(CommOpen("COM5"), nullptr);
    EXPECT_NE(CommLastOpenError().find("COM5 ("), std::string::npos) << CommLastOpenError();
    EXPECT_NE(CommLastOpenError().find("com5"), std::string::npos);
}

} // namespace
} // namespace sorvel::test
