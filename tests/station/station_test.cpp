// sorvel-station end to end: the program with its real workers (sorvel-cli) against simulated
// boxes on pseudo-terminals, driven over HTTP as its page drives it.
#include "ChildProcess.h"
#include "SimulatedUpgrade.h"
#include "StationClient.h"
#include "TempDir.h"
#include "UpgradeRecordReader.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using namespace sorvel::test;
using json = nlohmann::json;
namespace http = boost::beast::http;

// An upgrade of small files in dir, named as Windows names them.
UpgradeFolder::Paths WriteUpgrade(TempDir& dir) {
    UpgradeFolder folder({12, 64}, {8, 64}, {6, 64});
    folder.windowsPaths = true;
    return folder.Write(dir);
}

// A station over the upgrade in dir, one slot per port.
class Station {
public:
    Station(TempDir& dir, const std::vector<std::string>& ports,
            const std::vector<std::string>& extra = {}) {
        record = (dir.Path() / "record.jsonl").string();
        std::vector<std::string> args = {"--record", record, "--worker", SORVEL_CLI_PATH};
        for (const auto& port : ports)
            args.insert(args.end(), {"--port", port});
        args.insert(args.end(), extra.begin(), extra.end());
        if (std::find(extra.begin(), extra.end(), "--listen") == extra.end())
            args.insert(args.end(), {"--listen", "127.0.0.1:0"});
        args.push_back(dir.Path().string());
        process = std::make_unique<ChildProcess>(SORVEL_STATION_PATH, args);
        EXPECT_TRUE(process->WaitForOutput("Press Ctrl-C")) << process->out << process->err;
        EXPECT_TRUE(ParseStationStart(process->out, &address)) << process->out;
        client = std::make_unique<StationClient>(address);
    }
    ~Station() {
        process->Signal(SIGINT);
        EXPECT_EQ(process->Wait(30s), 0) << process->err;
    }

    // Polls the state until every slot in slots has ended, answering each prompt with "ok";
    // the last state.
    json RunToEnd(const std::vector<int>& slots, std::chrono::seconds timeout = 60s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        json state;
        while (std::chrono::steady_clock::now() < deadline) {
            state = client->State();
            bool ended = true;
            for (const int id : slots) {
                const json& slot = state["slots"][static_cast<std::size_t>(id - 1)];
                const std::string s = slot["state"];
                if (s == "prompt")
                    client->Post("/api/slots/" + std::to_string(id) + "/answer",
                                 R"({"answer":"ok"})");
                ended = ended && (s == "updated" || s == "failed" || s == "stopped");
            }
            if (ended)
                return state;
            std::this_thread::sleep_for(50ms);
        }
        ADD_FAILURE() << "slots still running: " << state.dump(1);
        return state;
    }

    std::vector<sorvel::record::UpgradeAttempt> Records() const {
        sorvel::record::RecordContents contents;
        std::string error;
        EXPECT_TRUE(sorvel::record::ReadRecordFile(record, &contents, &error)) << error;
        return contents.attempts;
    }

    std::string record;
    std::unique_ptr<ChildProcess> process;
    StationAddress address;
    std::unique_ptr<StationClient> client;
};

std::vector<std::string> AllFiles(const UpgradeFolder::Paths& paths) {
    return {paths.sti, paths.cart1, paths.cart2};
}

// The process id of the worker on port, 0 when none runs.
int WorkerOn(const std::string& port) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::string cmdline((std::istreambuf_iterator<char>(in)), {});
        if (cmdline.find("--json") != std::string::npos &&
            cmdline.find("--port=" + port + '\0') != std::string::npos)
            return std::atoi(entry.path().filename().c_str());
    }
    return 0;
}

// Four boxes at once: each slot ends with its own box's outcome, and each attempt is recorded
// with its slot's port and unit.
TEST(Station, FourBoxesAtOnceEachEndWithTheirOwnOutcome) {
    TempDir dir;
    struct Case {
        const char* unit;
        sorvel::boxsim::Options box;
        const char* state;
        const char* failureClass;
        const char* reasonHas;
    };
    sorvel::boxsim::Options hangUp;
    hangUp.hangUpAfter = 5;
    sorvel::boxsim::Options nakStorm;
    nakStorm.nakLast = sorvel::boxsim::Options::NakLast::Always;
    const std::vector<Case> cases = {
        {"SN-1", {}, "updated", "", "Your Brevon Box was updated."},
        {"SN-2", {}, "updated", "", "Your Brevon Box was updated."},
        {"SN-3", hangUp, "failed", "line", "The box received part of sti.urt"},
        {"SN-4", nakStorm, "failed", "box-refused", "the box refused the same record"},
    };
    const auto paths = WriteUpgrade(dir);
    std::vector<std::unique_ptr<sorvel::boxsim::BoxSimulator>> boxes;
    std::vector<std::string> ports;
    for (const Case& c : cases) {
        boxes.push_back(StartBox(AllFiles(paths), c.box));
        ports.push_back(boxes.back()->SlavePath());
    }
    Station station(dir, ports);
    for (std::size_t i = 0; i < cases.size(); ++i)
        ASSERT_EQ(station.client
                      ->Post("/api/slots/" + std::to_string(i + 1) + "/unit",
                             json{{"unit", cases[i].unit}}.dump())
                      .status,
                  200);
    const HttpAnswer all = station.client->Post("/api/start-all");
    ASSERT_EQ(all.status, 200) << all.body;
    EXPECT_EQ(all.Json()["started"], 4);

    const json state = station.RunToEnd({1, 2, 3, 4});
    const auto records = station.Records();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.unit);
        const json& slot = state["slots"][i];
        EXPECT_EQ(slot["state"], c.state) << slot.dump(1);
        EXPECT_EQ(slot["unit"], c.unit);
        EXPECT_EQ(slot["outcome"]["class"], c.failureClass);
        EXPECT_NE(slot["outcome"]["text"].get<std::string>().find(c.reasonHas), std::string::npos)
            << slot.dump(1);
        EXPECT_EQ(slot["updated"], std::string(c.state) == "updated" ? 1 : 0);
        EXPECT_EQ(slot["failed"], std::string(c.state) == "updated" ? 0 : 1);
        const auto recorded = std::find_if(records.begin(), records.end(),
                                           [&](const auto& r) { return r.unit == c.unit; });
        ASSERT_NE(recorded, records.end());
        EXPECT_EQ(recorded->port, ports[i]);
        EXPECT_EQ(recorded->outcome, std::string(c.state));
        EXPECT_EQ(recorded->failureClass, c.failureClass);
    }
    EXPECT_EQ(records.size(), 4u);
    EXPECT_EQ(state["records"].size(), 4u);
    EXPECT_TRUE(boxes[0]->GetReport().AllIntact());
    EXPECT_TRUE(boxes[1]->GetReport().AllIntact());
}

// A worker killed mid-file fails its slot with the reason and what the box holds; its attempt is
// recorded; the slot is re-armed and runs again, and a cancel stops it.
TEST(Station, AKilledWorkerFailsItsSlotWhichIsRearmed) {
    TempDir dir;
    const auto paths = WriteUpgrade(dir);
    sorvel::boxsim::Options slow;
    slow.baud = 1200; // about 0.6 s a record: the worker is surely mid-file
    slow.powerCycle = true;
    auto box = StartBox(AllFiles(paths), slow);
    Station station(dir, {box->SlavePath()});

    ASSERT_EQ(station.client->Post("/api/slots/1/start", R"({"unit":"K-1"})").status, 200);
    ASSERT_TRUE(WaitUntil([&] { return station.client->State()["slots"][0]["percent"] > 0; }, 20s));
    const int worker = WorkerOn(box->SlavePath());
    ASSERT_GT(worker, 0);
    ASSERT_EQ(::kill(worker, SIGKILL), 0);
    const json killed = station.RunToEnd({1}, 20s)["slots"][0];
    EXPECT_EQ(killed["state"], "failed");
    EXPECT_EQ(killed["outcome"]["class"], "worker");
    const std::string text = killed["outcome"]["text"];
    EXPECT_NE(text.find("killed by signal 9"), std::string::npos) << text;
    EXPECT_NE(text.find("The box received part of sti.urt; switch it off and on"),
              std::string::npos)
        << text;
    const auto records = station.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].unit, "K-1");
    EXPECT_EQ(records[0].outcome, "failed");

    // Not startable before it is re-armed; then it runs again, and a cancel stops it.
    EXPECT_EQ(station.client->Post("/api/slots/1/start").status, 409);
    ASSERT_EQ(station.client->Post("/api/slots/1/rearm").status, 200);
    json slot = station.client->State()["slots"][0];
    EXPECT_EQ(slot["state"], "idle");
    EXPECT_EQ(slot["unit"], "");
    EXPECT_EQ(slot["failed"], 1);
    ASSERT_EQ(station.client->Post("/api/slots/1/start", R"({"unit":"K-2"})").status, 200);
    ASSERT_TRUE(WaitUntil([&] { return station.client->State()["slots"][0]["percent"] > 0; }, 20s));
    ASSERT_EQ(station.client->Post("/api/slots/1/cancel").status, 200);
    slot = station.RunToEnd({1}, 20s)["slots"][0];
    EXPECT_EQ(slot["state"], "stopped") << slot.dump(1);
    EXPECT_EQ(slot["outcome"]["class"], "user");
    EXPECT_EQ(slot["failed"], 2);
    EXPECT_EQ(station.Records().size(), 2u);
}

// An IPv4 address of this computer other than loopback, "" when it has none.
std::string OtherInterface() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return {};
    std::string found;
    for (ifaddrs* a = list; a != nullptr && found.empty(); a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET)
            continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        if ((ntohl(in->sin_addr.s_addr) >> 24) == 127)
            continue;
        char text[INET_ADDRSTRLEN];
        found = ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    }
    ::freeifaddrs(list);
    return found;
}

// Who may do what, and a clear 4xx for every bad request; the station keeps serving.
TEST(Station, TokenAndBadRequests) {
    TempDir dir;
    WriteUpgrade(dir);
    auto box = StartBox({});
    Station station(dir, {box->SlavePath()}, {"--listen", "0.0.0.0:0"});
    const std::uint16_t port = station.address.port;
    const std::string token = station.address.token;
    const std::string other = OtherInterface();
    struct Case {
        const char* what;
        std::string host;
        http::verb verb;
        std::string target;
        std::string body;
        std::vector<std::pair<std::string, std::string>> headers;
        int status;
    };
    const std::vector<std::pair<std::string, std::string>> withToken = {{"X-Sorvel-Token", token}};
    std::vector<Case> cases = {
        {"page on loopback", "127.0.0.1", http::verb::get, "/", "", {}, 200},
        {"state on loopback", "127.0.0.1", http::verb::get, "/api/state", "", {}, 200},
        {"a change without the token",
         "127.0.0.1",
         http::verb::post,
         "/api/slots/1/unit",
         R"({"unit":"X"})",
         {},
         403},
        {"a wrong token",
         "127.0.0.1",
         http::verb::post,
         "/api/slots/1/unit",
         R"({"unit":"X"})",
         {{"X-Sorvel-Token", std::string(32, '0')}},
         403},
        {"a foreign host name",
         "127.0.0.1",
         http::verb::get,
         "/api/state",
         "",
         {{"Host", "evil.example:80"}},
         403},
        {"the token as a cookie",
         "127.0.0.1",
         http::verb::post,
         "/api/slots/1/unit",
         R"({"unit":"X"})",
         {{"Cookie", "a=b; sorvel_token=" + token}},
         200},
        {"the token in the address", "127.0.0.1", http::verb::get, "/?token=" + token, "", {}, 303},
        {"no such page", "127.0.0.1", http::verb::get, "/etc/passwd", "", {}, 404},
        {"a path in the slot", "127.0.0.1", http::verb::post, "/api/slots/..%2f1/start", "",
         withToken, 404},
        {"no such slot", "127.0.0.1", http::verb::post, "/api/slots/9/start", "", withToken, 404},
        {"a command read", "127.0.0.1", http::verb::get, "/api/slots/1/start", "", {}, 405},
        {"the state written", "127.0.0.1", http::verb::put, "/api/state", "", withToken, 405},
        {"no JSON", "127.0.0.1", http::verb::post, "/api/slots/1/unit", "{unit", withToken, 400},
        {"a unit of numbers", "127.0.0.1", http::verb::post, "/api/slots/1/unit", R"({"unit":42})",
         withToken, 400},
        {"a unit too long", "127.0.0.1", http::verb::post, "/api/slots/1/unit",
         json{{"unit", std::string(65, 'x')}}.dump(), withToken, 400},
        {"a control character", "127.0.0.1", http::verb::post, "/api/slots/1/unit",
         R"({"unit":"a\u0007b"})", withToken, 400},
        {"an answer when nothing is asked", "127.0.0.1", http::verb::post, "/api/slots/1/answer",
         R"({"answer":"ok"})", withToken, 409},
        {"a body too large", "127.0.0.1", http::verb::post, "/api/slots/1/unit",
         std::string(5000, ' '), withToken, 413},
    };
    if (!other.empty()) {
        cases.push_back(
            {"from another interface", other, http::verb::get, "/api/state", "", {}, 403});
        cases.push_back(
            {"the page from another interface", other, http::verb::get, "/", "", {}, 403});
        cases.push_back({"another interface with the token", other, http::verb::get, "/api/state",
                         "", withToken, 200});
        cases.push_back({"a change from another interface", other, http::verb::post,
                         "/api/slots/1/unit", R"({"unit":"Y"})", withToken, 200});
    }
    for (const Case& c : cases) {
        const HttpAnswer answer = Http(c.host, port, c.verb, c.target, c.body, c.headers);
        EXPECT_EQ(answer.status, c.status) << c.what << ": " << answer.body << answer.error;
        if (c.status >= 400) {
            EXPECT_TRUE(answer.Json().contains("error")) << c.what << ": " << answer.body;
        }
    }
    // The address's token becomes a cookie for this station only.
    HttpAnswer redirect = Http("127.0.0.1", port, http::verb::get, "/?token=" + token);
    EXPECT_EQ(redirect.headers["location"], "/");
    EXPECT_NE(redirect.headers["set-cookie"].find("HttpOnly; SameSite=Strict"), std::string::npos);
    // The page holds the token for its own requests.
    const HttpAnswer page = Http("127.0.0.1", port, http::verb::get, "/");
    EXPECT_NE(page.body.find(token), std::string::npos);
    EXPECT_EQ(page.body.find("{{TOKEN}}"), std::string::npos);
    EXPECT_EQ(station.client->State()["slots"][0]["unit"], other.empty() ? "X" : "Y");
}

// A folder that does not verify is refused with the loader's message; no page is served.
TEST(Station, RefusesAFolderThatDoesNotVerify) {
    TempDir dir;
    WriteUpgrade(dir);
    std::ofstream(dir.Path() / "Ressources" / "cart1.urt", std::ios::app) << "x";
    const ProgramRun run = RunProgram(
        SORVEL_STATION_PATH, {"--port", "/dev/null", "--listen", "127.0.0.1:0", dir.Path()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Error 0x"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("did not verify; no slot was started"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("The page:"), std::string::npos);
}

} // namespace
