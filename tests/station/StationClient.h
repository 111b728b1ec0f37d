// A client of sorvel-station's HTTP interface for the tests and the benchmark: one request per
// connection, over Boost.Beast, with a deadline; and the station's start-up lines read back.
#pragma once

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sorvel::test {

struct HttpAnswer {
    int status = 0; // 0 when the request did not go through (error says why)
    std::string body;
    std::map<std::string, std::string> headers; // names in lower case
    std::string error;
    nlohmann::json Json() const { return nlohmann::json::parse(body, nullptr, false); }
};

// What the station printed at its start: its page's port and its token.
struct StationAddress {
    std::uint16_t port = 0;
    std::string token;
};

inline bool ParseStationStart(const std::string& out, StationAddress* address) {
    const std::string page = "The page: http://";
    const std::size_t at = out.find(page);
    const std::size_t token = out.find("token: ");
    if (at == std::string::npos || token == std::string::npos)
        return false;
    const std::size_t colon = out.find(':', at + page.size());
    address->port = static_cast<std::uint16_t>(std::stoi(out.substr(colon + 1)));
    address->token = out.substr(token + 7, 32);
    return address->port != 0 && address->token.size() == 32;
}

// One request to host:port. headers: extra header lines as name, value.
inline HttpAnswer Http(const std::string& host, std::uint16_t port, boost::beast::http::verb verb,
                       const std::string& target, const std::string& body = {},
                       const std::vector<std::pair<std::string, std::string>>& headers = {},
                       std::chrono::seconds timeout = std::chrono::seconds(10)) {
    namespace beast = boost::beast;
    namespace http = beast::http;
    HttpAnswer answer;
    try {
        boost::asio::io_context io;
        beast::tcp_stream stream(io);
        stream.expires_after(timeout);
        stream.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address(host), port));
        http::request<http::string_body> request(verb, target, 11);
        request.set(http::field::host, host + ":" + std::to_string(port));
        for (const auto& [name, value] : headers)
            request.set(name, value);
        request.body() = body;
        if (!body.empty())
            request.set(http::field::content_type, "application/json");
        request.prepare_payload();
        http::write(stream, request);
        beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(stream, buffer, response);
        answer.status = static_cast<int>(response.result_int());
        answer.body = response.body();
        for (const auto& field : response) {
            std::string name(field.name_string());
            for (char& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            answer.headers[name] = std::string(field.value());
        }
    } catch (const std::exception& e) {
        answer.error = e.what();
    }
    return answer;
}

// The station on 127.0.0.1 at a port, with its token for the commands.
class StationClient {
public:
    explicit StationClient(StationAddress address, std::string host = "127.0.0.1")
        : m_address(std::move(address)), m_host(std::move(host)) {}

    HttpAnswer Get(const std::string& target) const {
        return Http(m_host, m_address.port, boost::beast::http::verb::get, target);
    }
    HttpAnswer Post(const std::string& target, const std::string& body = {}) const {
        return Http(m_host, m_address.port, boost::beast::http::verb::post, target, body,
                    {{"X-Sorvel-Token", m_address.token}});
    }
    nlohmann::json State() const { return Get("/api/state").Json(); }
    const StationAddress& Address() const { return m_address; }

private:
    StationAddress m_address;
    std::string m_host;
};

} // namespace sorvel::test
