#include "CommPorts.h"

#include "CommMessages.h"
#include "PortNames.h"

#include <map>

namespace comm {
namespace {

std::mutex g_portsMutex;
// Never destroyed: a reader or writer thread may still look a handle up while the process ends.
std::map<HCOMM, std::shared_ptr<CommPort>>& Ports() {
    static auto* ports = new std::map<HCOMM, std::shared_ptr<CommPort>>;
    return *ports;
}

// Publishes an open port: from now on calls with the returned handle find it.
HCOMM AddPort(std::shared_ptr<CommPort> port) {
    HCOMM handle = port.get();
    std::lock_guard lock(g_portsMutex);
    Ports()[handle] = std::move(port);
    return handle;
}

// Takes the port out of the registry: later calls with the handle find nothing.
std::shared_ptr<CommPort> TakePort(HCOMM handle) {
    std::lock_guard lock(g_portsMutex);
    auto it = Ports().find(handle);
    if (it == Ports().end())
        return nullptr;
    std::shared_ptr<CommPort> port = std::move(it->second);
    Ports().erase(it);
    return port;
}

} // namespace

std::shared_ptr<CommPort> FindPort(HCOMM handle) {
    if (handle == nullptr)
        return nullptr;
    std::lock_guard lock(g_portsMutex);
    auto it = Ports().find(handle);
    return it == Ports().end() ? nullptr : it->second;
}

} // namespace comm

const char* CommPort::MarkGone() {
    SetGone();
    return goneReported.exchange(true) ? nullptr : comm::kMsgWriteShort;
}

std::string CommDevicePath(const std::string& portName) {
    return sorvel::ComPortDevicePath(portName);
}

HCOMM CommOpen(const char* portName) {
    comm::SetLastOpenError({}, COMM_OPEN_OK);
    if (CommCheckPlatform() == 0) {
        comm::SetLastOpenError("this system cannot run the serial channel", COMM_OPEN_OTHER);
        return nullptr;
    }
    comm::TakeProgramCaption();
    const std::string name = portName ? portName : "";
    std::shared_ptr<CommPort> port = comm::OpenPort(name, CommDevicePath(name));
    // Published only now: no other thread sees a port that is still being set up.
    return port ? comm::AddPort(std::move(port)) : nullptr;
}

int CommWrite(HCOMM handle, const char* buffer, int count) {
    if (buffer == nullptr || count <= 0)
        return 0;
    auto port = comm::FindPort(handle);
    if (!port || port->closed)
        return 0;
    if (port->gone) {
        // The reader found the device gone first: the first write tells the user, once.
        if (const char* message = port->MarkGone())
            comm::CommMessage(message);
        return 0;
    }
    return comm::WritePort(*port, buffer, count);
}

int CommSetState(HCOMM handle) {
    if (auto port = comm::FindPort(handle))
        comm::ApplyState(*port);
    return 1;
}

int CommClose(HCOMM handle) {
    std::shared_ptr<CommPort> port = comm::TakePort(handle);
    return port ? comm::ClosePort(std::move(port)) : 0;
}

bool CommExitEventIsSet(HCOMM handle) {
    auto port = comm::FindPort(handle);
    return port && port->ExitEventSet();
}
