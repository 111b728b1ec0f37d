// The station's web server: the page, the state as JSON, its changes as server-sent events, and
// the commands as POSTs (docs/station-http.md). HTTP is Boost.Beast's over Asio.
//
// Access: a request that carries the station's token (header X-Sorvel-Token, cookie
// sorvel_token, or ?token= in the address) may do anything. Without it, a request from another
// computer is refused, and a request from this one may only read (GET), and only when its Host
// header names this computer (a page of another site whose name was pointed at 127.0.0.1 is
// refused).
//
// Threads: one thread of its own runs every connection. Changed may be called from any thread;
// changes are sent to the pages at most every kFlushInterval, each slot once with its state then.
#pragma once

#include "Station.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace sorvel::station {

struct ServerOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 8421; // 0: any free port
    std::string token;
    std::string page; // the page's HTML, with {{TOKEN}} where the token goes
};

class StationServer {
public:
    static constexpr std::chrono::milliseconds kFlushInterval{40};
    static constexpr std::size_t kBodyLimit = 4096;

    explicit StationServer(ServerOptions options);
    ~StationServer(); // Stop()
    StationServer(const StationServer&) = delete;
    StationServer& operator=(const StationServer&) = delete;

    // Listens on the address; false with *error saying why ("Address already in use").
    bool Listen(std::string* error);
    // The port listened on (the one the system chose for port 0).
    std::uint16_t Port() const;
    // Serves station on a thread of its own until Stop.
    void Run(Station& station);
    // Closes every connection and ends the thread. Idempotent.
    void Stop();
    // A slot (or, with 0, the record's list) changed. Any thread.
    void Changed(int slot);

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// A token of 32 hexadecimal digits from the system's random source.
std::string NewToken();

} // namespace sorvel::station
