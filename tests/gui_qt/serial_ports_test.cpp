// The port list's device part: stable names, device paths, phantom UARTs, order.
#include "SerialPorts.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using sorvel::test::TempDir;

namespace {

// A folder laid out like a machine's /dev and /sys for the port scan.
class FakeMachine {
public:
    void Device(const std::string& name) { m_root.Write("dev/" + name, std::string()); }
    void ById(const std::string& link, const std::string& target) {
        fs::create_directories(m_root.Path() / "dev/serial/by-id");
        fs::create_symlink(target, m_root.Path() / "dev/serial/by-id" / link);
    }
    void UartType(const std::string& name, const std::string& type) {
        m_root.Write("sys/class/tty/" + name + "/type", type + "\n");
    }
    void UartDriver(const std::string& name) {
        fs::create_directories(m_root.Path() / "sys/class/tty" / name / "device/driver");
    }
    fs::path Root() const { return m_root.Path(); }

private:
    TempDir m_root;
};

TEST(SerialPorts, StableNamesReplaceTheirDevicesAndComeFirst) {
    FakeMachine m;
    m.Device("ttyUSB0");
    m.Device("ttyUSB1");
    m.Device("ttyACM0");
    m.ById("usb-FTDI_FT232R_A5XK3RJT-if00-port0", "../../ttyUSB1");
    m.ById("usb-Prolific_PL2303-if00", "/dev/ttyACM0"); // absolute link
    EXPECT_EQ(
        ListSerialPorts(m.Root()),
        (std::vector<std::string>{"/dev/serial/by-id/usb-FTDI_FT232R_A5XK3RJT-if00-port0",
                                  "/dev/serial/by-id/usb-Prolific_PL2303-if00", "/dev/ttyUSB0"}));
}

TEST(SerialPorts, LinksAndNamesThatAreNoSerialDeviceAreIgnored) {
    FakeMachine m;
    m.Device("ttyUSB0");
    m.Device("sda");
    m.ById("usb-gone-if00", "../../ttyUSB7"); // adapter unplugged, link stale
    m.ById("usb-disk", "../../sda");          // not a serial device
    m.ById("usb-escape", "../../../../etc/passwd");
    m.Device("ttyUSB");   // no number
    m.Device("ttyUSB0a"); // not only digits
    m.Device("tty1");     // virtual console
    EXPECT_EQ(ListSerialPorts(m.Root()), (std::vector<std::string>{"/dev/ttyUSB0"}));
    // No /dev or /sys at all.
    TempDir empty;
    EXPECT_TRUE(ListSerialPorts(empty.Path()).empty());
    EXPECT_TRUE(ListSerialPorts(empty.Path() / "does-not-exist").empty());
}

TEST(SerialPorts, OnlyUartsTheKernelFoundAreListed) {
    FakeMachine m;
    for (const char* name : {"ttyS0", "ttyS1", "ttyS2", "ttyS3", "ttyS4"})
        m.Device(name);
    m.UartType("ttyS0", "4"); // 16550A
    m.UartType("ttyS1", "0"); // phantom 8250 port
    m.UartDriver("ttyS1");
    m.UartDriver("ttyS2"); // no type attribute, bound to a driver
    m.UartType("ttyS3", "garbage");
    // ttyS4: neither type nor driver
    EXPECT_EQ(ListSerialPorts(m.Root()), (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyS2"}));
}

TEST(SerialPorts, DevicesInNaturalOrder) {
    FakeMachine m;
    for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM12", "ttyACM1", "ttyUSB0"})
        m.Device(name);
    EXPECT_EQ(ListSerialPorts(m.Root()),
              (std::vector<std::string>{"/dev/ttyACM1", "/dev/ttyACM12", "/dev/ttyUSB0",
                                        "/dev/ttyUSB2", "/dev/ttyUSB10"}));
    EXPECT_TRUE(NaturalLess("a007b", "a8b"));
    EXPECT_FALSE(NaturalLess("same1", "same1"));
}

} // namespace
