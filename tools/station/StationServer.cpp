#include "StationServer.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <iostream>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace sorvel::station {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using json = nlohmann::json;
using ojson = nlohmann::ordered_json;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

namespace {

constexpr auto kReadTimeout = std::chrono::seconds(30);
constexpr auto kKeepAliveEvery = std::chrono::seconds(15);
// A page that does not read its events keeps at most this many unsent; then its connection is
// closed, and its browser connects again and gets the whole state.
constexpr std::size_t kMaxQueued = 256;
constexpr const char* kTokenHeader = "X-Sorvel-Token";
constexpr const char* kTokenCookie = "sorvel_token";

std::string Dump(const ojson& value) {
    return value.dump(-1, ' ', false, ojson::error_handler_t::replace);
}

bool SameToken(const std::string& given, const std::string& token) {
    if (given.size() != token.size() || token.empty())
        return false;
    unsigned char differ = 0;
    for (std::size_t i = 0; i < token.size(); ++i)
        differ |= static_cast<unsigned char>(given[i] ^ token[i]);
    return differ == 0;
}

// The value of name in a "a=1&b=2" query or a "a=1; b=2" cookie list; "" when absent.
std::string ValueIn(std::string_view list, std::string_view name, char separator) {
    while (!list.empty()) {
        const std::size_t end = std::min(list.find(separator), list.size());
        std::string_view item = list.substr(0, end);
        while (!item.empty() && item.front() == ' ')
            item.remove_prefix(1);
        if (item.size() > name.size() && item.substr(0, name.size()) == name &&
            item[name.size()] == '=')
            return std::string(item.substr(name.size() + 1));
        list.remove_prefix(std::min(end + 1, list.size()));
    }
    return {};
}

std::string_view View(beast::string_view text) {
    return std::string_view(text.data(), text.size());
}

// The host name of a Host header without its port ("[::1]:8421" gives "[::1]").
std::string HostName(std::string_view host) {
    if (!host.empty() && host.front() == '[')
        return std::string(host.substr(0, host.find(']') + 1));
    return std::string(host.substr(0, host.find(':')));
}

} // namespace

std::string NewToken() {
    std::random_device random;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
        token += part;
    }
    return token;
}

class StationServer::Impl {
public:
    explicit Impl(ServerOptions options)
        : m_options(std::move(options)), m_acceptor(m_io), m_flushTimer(m_io), m_keepAlive(m_io) {}

    class Session;

    bool Listen(std::string* error);
    void Run(Station& station);
    void Stop();
    void Changed(int slot);

    std::uint16_t m_port = 0;

private:
    friend class Session;
    void Accept();
    void Flush();
    void KeepAlive();
    void Broadcast(const std::string& message);
    // The answer to a request; nullptr when it became a stream of events.
    std::shared_ptr<Response> Handle(const Request& request, bool loopbackPeer,
                                     const std::shared_ptr<Session>& session);
    std::shared_ptr<Response> Command(const Request& request, std::string_view path);
    std::shared_ptr<Response> Json(const Request& request, http::status status,
                                   const ojson& body) const;
    std::shared_ptr<Response> Error(const Request& request, http::status status,
                                    const std::string& reason) const;
    std::string StateMessage() const {
        return "event: state\ndata: " + Dump(m_station->StateJson()) + "\n\n";
    }

    ServerOptions m_options;
    net::io_context m_io;
    tcp::acceptor m_acceptor;
    Station* m_station = nullptr;
    std::thread m_thread;
    bool m_stopped = false;
    std::vector<std::weak_ptr<Session>> m_sessions;  // open connections
    std::vector<std::shared_ptr<Session>> m_streams; // connections that receive events
    std::set<int> m_dirty;
    bool m_flushPending = false;
    std::chrono::steady_clock::time_point m_lastFlush{};
    net::steady_timer m_flushTimer;
    net::steady_timer m_keepAlive;
};

// One connection: requests read and answered in turn, until it closes or becomes a stream of
// events, which only writes.
class StationServer::Impl::Session : public std::enable_shared_from_this<Session> {
public:
    Session(Impl& server, tcp::socket socket) : m_server(server), m_stream(std::move(socket)) {}

    void Start() {
        boost::system::error_code error;
        const auto peer = m_stream.socket().remote_endpoint(error);
        m_loopback = !error && peer.address().is_loopback();
        Read();
    }

    void Close() {
        m_closed = true;
        boost::system::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        m_stream.socket().close(ignored);
    }

    // Streams events from now on: the answer's header, then every message sent.
    void BeginEvents(unsigned version, const std::string& first) {
        m_events = true;
        m_stream.expires_never();
        auto header = std::make_shared<http::response<http::empty_body>>(http::status::ok, version);
        header->set(http::field::content_type, "text/event-stream; charset=utf-8");
        header->set(http::field::cache_control, "no-store");
        header->keep_alive(false);
        auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*header);
        http::async_write_header(m_stream, *serializer,
                                 [self = shared_from_this(), header, serializer,
                                  first](beast::error_code error, std::size_t) {
                                     if (error)
                                         return self->Close();
                                     self->Send(first);
                                 });
        // A page only reads: anything it sends, or its end, ends the stream.
        m_stream.socket().async_read_some(
            net::buffer(m_ignored),
            [self = shared_from_this()](beast::error_code, std::size_t) { self->Close(); });
    }

    void Send(const std::string& message) {
        if (m_closed)
            return;
        if (m_queue.size() >= kMaxQueued)
            return Close();
        m_queue.push_back(message);
        if (m_queue.size() == 1)
            WriteNext();
    }

    bool Closed() const { return m_closed; }

private:
    void Read() {
        m_parser.emplace();
        m_parser->body_limit(kBodyLimit);
        m_parser->header_limit(8192);
        m_stream.expires_after(kReadTimeout);
        http::async_read(m_stream, m_buffer, *m_parser,
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             self->OnRead(error);
                         });
    }

    void OnRead(beast::error_code error) {
        if (error == http::error::end_of_stream || error == net::error::operation_aborted ||
            error == beast::error::timeout || error == net::error::eof ||
            error == net::error::connection_reset)
            return Close();
        if (error) {
            // A request that does not parse gets its reason, then the connection closes.
            Request none;
            none.version(11);
            const auto status = error == http::error::body_limit ? http::status::payload_too_large
                                                                 : http::status::bad_request;
            auto response = m_server.Error(none, status, "bad request: " + error.message());
            response->keep_alive(false);
            return Write(response);
        }
        const Request request = m_parser->release();
        std::shared_ptr<Response> response;
        try {
            response = m_server.Handle(request, m_loopback, shared_from_this());
        } catch (const std::exception& e) {
            response = m_server.Error(request, http::status::internal_server_error, e.what());
        }
        if (response)
            Write(response);
    }

    void Write(const std::shared_ptr<Response>& response) {
        http::async_write(
            m_stream, *response,
            [self = shared_from_this(), response](beast::error_code error, std::size_t) {
                if (error || !response->keep_alive())
                    return self->Close();
                self->Read();
            });
    }

    void WriteNext() {
        net::async_write(m_stream.socket(), net::buffer(m_queue.front()),
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             if (error)
                                 return self->Close();
                             self->m_queue.pop_front();
                             if (!self->m_queue.empty())
                                 self->WriteNext();
                         });
    }

    Impl& m_server;
    beast::tcp_stream m_stream;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    bool m_loopback = false;
    bool m_events = false;
    bool m_closed = false;
    char m_ignored[64];
    std::deque<std::string> m_queue;
};

bool StationServer::Impl::Listen(std::string* error) {
    boost::system::error_code ec;
    const auto address = net::ip::make_address(m_options.address, ec);
    if (ec) {
        *error = "'" + m_options.address + "' is no IP address";
        return false;
    }
    const tcp::endpoint endpoint(address, m_options.port);
    if (m_acceptor.open(endpoint.protocol(), ec) ||
        m_acceptor.set_option(net::socket_base::reuse_address(true), ec) ||
        m_acceptor.bind(endpoint, ec) ||
        m_acceptor.listen(net::socket_base::max_listen_connections, ec)) {
        *error = ec.message();
        return false;
    }
    m_port = m_acceptor.local_endpoint(ec).port();
    return true;
}

void StationServer::Impl::Run(Station& station) {
    m_station = &station;
    Accept();
    KeepAlive();
    m_thread = std::thread([this] { m_io.run(); });
}

void StationServer::Impl::Stop() {
    if (!m_thread.joinable())
        return;
    net::post(m_io, [this] {
        m_stopped = true;
        boost::system::error_code ignored;
        m_acceptor.close(ignored);
        m_flushTimer.cancel();
        m_keepAlive.cancel();
        for (auto& weak : m_sessions)
            if (auto session = weak.lock())
                session->Close();
        m_streams.clear();
        m_io.stop();
    });
    m_thread.join();
}

void StationServer::Impl::Accept() {
    m_acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (m_stopped || !m_acceptor.is_open())
            return;
        if (!error) {
            auto session = std::make_shared<Session>(*this, std::move(socket));
            m_sessions.erase(std::remove_if(m_sessions.begin(), m_sessions.end(),
                                            [](const auto& weak) { return weak.expired(); }),
                             m_sessions.end());
            m_sessions.push_back(session);
            session->Start();
        }
        Accept();
    });
}

void StationServer::Impl::Changed(int slot) {
    net::post(m_io, [this, slot] {
        if (m_stopped)
            return;
        m_dirty.insert(slot);
        if (m_flushPending)
            return;
        m_flushPending = true;
        m_flushTimer.expires_at(m_lastFlush + kFlushInterval);
        m_flushTimer.async_wait([this](beast::error_code error) {
            if (!error)
                Flush();
        });
    });
}

void StationServer::Impl::Flush() {
    m_flushPending = false;
    m_lastFlush = std::chrono::steady_clock::now();
    const std::set<int> dirty = std::move(m_dirty);
    m_dirty.clear();
    m_streams.erase(std::remove_if(m_streams.begin(), m_streams.end(),
                                   [](const auto& stream) { return stream->Closed(); }),
                    m_streams.end());
    if (m_streams.empty() || m_station == nullptr)
        return;
    for (const int slot : dirty) {
        if (slot == 0)
            Broadcast("event: records\ndata: " + Dump(m_station->RecordsJson()) + "\n\n");
        else
            Broadcast("event: slot\ndata: " + Dump(m_station->SlotJson(slot)) + "\n\n");
    }
}

void StationServer::Impl::KeepAlive() {
    m_keepAlive.expires_after(kKeepAliveEvery);
    m_keepAlive.async_wait([this](beast::error_code error) {
        if (error || m_stopped)
            return;
        Broadcast(": keep-alive\n\n");
        KeepAlive();
    });
}

void StationServer::Impl::Broadcast(const std::string& message) {
    for (auto& stream : m_streams)
        stream->Send(message);
}

std::shared_ptr<Response> StationServer::Impl::Json(const Request& request, http::status status,
                                                    const ojson& body) const {
    auto response = std::make_shared<Response>(status, request.version());
    response->set(http::field::content_type, "application/json; charset=utf-8");
    response->set(http::field::cache_control, "no-store");
    response->set("X-Content-Type-Options", "nosniff");
    response->keep_alive(request.keep_alive());
    response->body() = Dump(body) + "\n";
    response->prepare_payload();
    return response;
}

std::shared_ptr<Response> StationServer::Impl::Error(const Request& request, http::status status,
                                                     const std::string& reason) const {
    return Json(request, status, ojson{{"error", reason}});
}

std::shared_ptr<Response> StationServer::Impl::Handle(const Request& request, bool loopbackPeer,
                                                      const std::shared_ptr<Session>& session) {
    const std::string_view target(request.target().data(), request.target().size());
    const std::string_view path = target.substr(0, target.find('?'));
    const std::string_view query =
        target.find('?') == std::string_view::npos ? "" : target.substr(target.find('?') + 1);

    const auto header = request.find(kTokenHeader);
    const auto cookie = request.find(http::field::cookie);
    const std::string fromQuery = ValueIn(query, "token", '&');
    const bool tokenGiven =
        SameToken(header != request.end() ? std::string(header->value()) : "", m_options.token) ||
        SameToken(cookie != request.end() ? ValueIn(View(cookie->value()), kTokenCookie, ';') : "",
                  m_options.token) ||
        SameToken(fromQuery, m_options.token);
    if (!tokenGiven) {
        if (!loopbackPeer)
            return Error(request, http::status::forbidden,
                         "this station needs its token: open the address it printed at start");
        const std::string host = HostName(View(request[http::field::host]));
        if (host != "127.0.0.1" && host != "localhost" && host != "[::1]" &&
            host != m_options.address)
            return Error(request, http::status::forbidden,
                         "unknown host name '" + host + "': open the address the station printed");
        if (request.method() != http::verb::get)
            return Error(request, http::status::forbidden,
                         "a change needs the station's token (header X-Sorvel-Token)");
    }

    if (path.rfind("/api/", 0) == 0 && request.method() == http::verb::post)
        return Command(request, path);
    if (path == "/" || path == "/api/state" || path == "/api/events") {
        if (request.method() != http::verb::get) {
            auto response = Error(request, http::status::method_not_allowed,
                                  std::string(path) + " is only read (GET)");
            response->set(http::field::allow, "GET");
            return response;
        }
    } else if (path.rfind("/api/", 0) == 0 && request.method() == http::verb::get) {
        auto response = Error(request, http::status::method_not_allowed,
                              std::string(path) + " is a command (POST)");
        response->set(http::field::allow, "POST");
        return response;
    } else {
        return Error(request, http::status::not_found, "no such page: " + std::string(path));
    }

    if (path == "/api/state")
        return Json(request, http::status::ok, m_station->StateJson());
    if (path == "/api/events") {
        session->BeginEvents(request.version(), StateMessage());
        m_streams.push_back(session);
        return nullptr;
    }
    if (SameToken(fromQuery, m_options.token)) {
        // The token leaves the address bar for a cookie that only this station's pages send.
        auto response = std::make_shared<Response>(http::status::see_other, request.version());
        response->set(http::field::location, "/");
        response->set(http::field::set_cookie, std::string(kTokenCookie) + "=" + m_options.token +
                                                   "; Path=/; HttpOnly; SameSite=Strict");
        response->set(http::field::cache_control, "no-store");
        response->set("Referrer-Policy", "no-referrer");
        response->keep_alive(request.keep_alive());
        response->prepare_payload();
        return response;
    }
    std::string page = m_options.page;
    if (const auto at = page.find("{{TOKEN}}"); at != std::string::npos)
        page.replace(at, 9, m_options.token);
    auto response = std::make_shared<Response>(http::status::ok, request.version());
    response->set(http::field::content_type, "text/html; charset=utf-8");
    response->set(http::field::cache_control, "no-store");
    response->set("Content-Security-Policy",
                  "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                  "connect-src 'self'; img-src data:; frame-ancestors 'none'; base-uri 'none'; "
                  "form-action 'none'");
    response->set("Referrer-Policy", "no-referrer");
    response->set("X-Content-Type-Options", "nosniff");
    response->set("X-Frame-Options", "DENY");
    response->keep_alive(request.keep_alive());
    response->body() = std::move(page);
    response->prepare_payload();
    return response;
}

std::shared_ptr<Response> StationServer::Impl::Command(const Request& request,
                                                       std::string_view path) {
    json body = json::object();
    if (!request.body().empty()) {
        body = json::parse(request.body(), nullptr, false);
        if (!body.is_object())
            return Error(request, http::status::bad_request, "the body is no JSON object");
    }
    auto text = [&body](const char* name) -> std::optional<std::string> {
        const auto it = body.find(name);
        if (it == body.end() || !it->is_string())
            return std::nullopt;
        return it->get<std::string>();
    };
    auto done = [&](const CommandResult& result) {
        if (!result.Ok())
            return Error(request, static_cast<http::status>(result.status), result.error);
        return Json(request, http::status::ok, ojson{{"ok", true}});
    };

    if (path == "/api/start-all") {
        const int started = m_station->StartAll();
        return Json(request, http::status::ok, ojson{{"ok", true}, {"started", started}});
    }
    // /api/slots/N/ACTION
    constexpr std::string_view kSlots = "/api/slots/";
    if (path.rfind(kSlots, 0) != 0)
        return Error(request, http::status::not_found, "no such command: " + std::string(path));
    const std::string_view rest = path.substr(kSlots.size());
    const std::size_t slash = rest.find('/');
    const std::string_view number = rest.substr(0, slash);
    const std::string_view action =
        slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (number.empty() || number.size() > 6 ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return Error(request, http::status::not_found, "no such slot: " + std::string(number));
    const int slot = std::stoi(std::string(number));

    if (body.contains("unit") && !text("unit"))
        return Error(request, http::status::bad_request, "unit is a text");
    if (action == "start")
        return done(m_station->Start(slot, text("unit")));
    if (action == "unit") {
        if (!text("unit"))
            return Error(request, http::status::bad_request, "the body names no unit");
        return done(m_station->SetUnit(slot, *text("unit")));
    }
    if (action == "answer") {
        if (!text("answer"))
            return Error(request, http::status::bad_request, "the body names no answer");
        return done(m_station->Answer(slot, *text("answer")));
    }
    if (action == "cancel")
        return done(m_station->Cancel(slot));
    if (action == "rearm")
        return done(m_station->Rearm(slot));
    return Error(request, http::status::not_found, "no such command: " + std::string(path));
}

StationServer::StationServer(ServerOptions options)
    : m_impl(std::make_unique<Impl>(std::move(options))) {}

StationServer::~StationServer() {
    Stop();
}

bool StationServer::Listen(std::string* error) {
    return m_impl->Listen(error);
}

std::uint16_t StationServer::Port() const {
    return m_impl->m_port;
}

void StationServer::Run(Station& station) {
    m_impl->Run(station);
}

void StationServer::Stop() {
    m_impl->Stop();
}

void StationServer::Changed(int slot) {
    m_impl->Changed(slot);
}

} // namespace sorvel::station
