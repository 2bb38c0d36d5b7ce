// The whole server in this process on 127.0.0.1:0, spoken to over HTTP with
// Beast's client, against a fake recorder on a temporary Unix socket that
// answers canned replies, holds them back until told, or never answers.
#include "HttpServer.h"
#include "PasswordStore.h"
#include "RequestHandler.h"

#include <gtest/gtest.h>

#include "TestFiles.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using namespace std::chrono_literals;
using testing_support::TempDir;

namespace {

constexpr const char* kPassword = "a good password";
const std::string kRecordingDrive = "INFO#USB#3#ntfs=0;rec=1;size=64000;label=CAM A;free space=500;time left=00:40";
const std::string kIdleDrive = "INFO#USB#3#ntfs=0;rec=0;size=64000;label=CAM A;free space=500;time left=00:40";

// Answers on its own thread. A request in `held` waits for release(); with
// `silent` nothing is answered at all.
class FakeRecorder {
public:
    explicit FakeRecorder(const std::string& path) : acceptor_(io_, asio::local::stream_protocol::endpoint(path)) {
        accept();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~FakeRecorder() {
        io_.stop();
        thread_.join();
    }

    void reply(const std::string& request, const std::string& answer) {
        std::lock_guard guard(lock_);
        replies_[request] = answer;
    }
    void hold(const std::string& request) {
        std::lock_guard guard(lock_);
        held_ = request;
    }
    void silent() {
        std::lock_guard guard(lock_);
        silent_ = true;
    }
    void release() {
        asio::post(io_, [this] {
            for (auto& connection : waiting_) answer(connection);
            waiting_.clear();
        });
    }
    std::vector<std::string> requests() {
        std::lock_guard guard(lock_);
        return requests_;
    }
    // Waits (at most 10 s, so a failure cannot hang) until `request` has come in.
    bool saw(const std::string& request) {
        std::unique_lock guard(lock_);
        return arrived_.wait_for(guard, 10s, [&] {
            return std::find(requests_.begin(), requests_.end(), request) != requests_.end();
        });
    }

private:
    struct Connection {
        explicit Connection(asio::local::stream_protocol::socket s) : socket(std::move(s)) {}
        asio::local::stream_protocol::socket socket;
        std::string data;
        std::string reply;
    };

    void accept() {
        acceptor_.async_accept([this](boost::system::error_code error, asio::local::stream_protocol::socket socket) {
            if (error) return;
            auto connection = std::make_shared<Connection>(std::move(socket));
            asio::async_read_until(connection->socket, asio::dynamic_buffer(connection->data), "\r\n",
                                   [this, connection](boost::system::error_code error, size_t length) {
                                       if (!error) received(connection, connection->data.substr(0, length - 2));
                                   });
            accept();
        });
    }

    void received(const std::shared_ptr<Connection>& connection, const std::string& line) {
        bool wait = false;
        {
            std::lock_guard guard(lock_);
            requests_.push_back(line);
            const auto found = replies_.find(line);
            connection->reply = found != replies_.end() ? found->second : line.rfind("SET#", 0) == 0 ? "OK" : "ERR";
            wait = silent_ || line == held_;
        }
        arrived_.notify_all();
        if (wait) waiting_.push_back(connection);
        else answer(connection);
    }

    void answer(const std::shared_ptr<Connection>& connection) {
        asio::async_write(connection->socket, asio::buffer(connection->reply),
                          [connection](boost::system::error_code, size_t) { connection->socket.close(); });
    }

    asio::io_context io_;
    asio::local::stream_protocol::acceptor acceptor_;
    std::vector<std::shared_ptr<Connection>> waiting_;  // only on the recorder's thread
    std::mutex lock_;
    std::condition_variable arrived_;
    std::map<std::string, std::string> replies_;
    std::vector<std::string> requests_;
    std::string held_;
    bool silent_ = false;
    std::thread thread_;
};

using Response = http::response<http::string_body>;

class WebServer : public ::testing::Test {
protected:
    void SetUp() override {
        recorder_.reply("GET#USB#", kIdleDrive);
        recorder_.reply("GET#LEVEL#", "INFO#LEVEL#0#left=100;right=200");
        recorder_.reply("GET#INFO#",
                        "INFO#Device Information#0#analog audio=0;down convert=0;pal mode=1;composite=0;input=48693530;"
                        "output=48693530;connected USBs=1;uptime=5;local time=10:00;version=3.1;audio-channel=0;"
                        "filename=Hi50;studio options=1;aes=0;embedded=1;logo burning=0;tcb=0;date=2026-12-06;");
        ASSERT_TRUE(PasswordStore(state_.path().string()).set(kPassword));
    }

    void start(HttpLimits limits = {}, std::chrono::milliseconds recorderTimeout = 500ms) {
        RequestHandler::Options options;
        options.socketPath = state_ / "socket";
        options.recorderTimeout = recorderTimeout;
        options.stateDir = state_.path().string();
        options.logoPath = state_ / "logo.png";
        handler_.emplace(options);
        server_.emplace(io_, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0), *handler_, limits);
        server_->start();
        for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io_.run(); });
    }

    void TearDown() override {
        if (server_) server_->stop();
        io_.stop();
        for (auto& thread : threads_) thread.join();
    }

    // One request on its own connection; nothing when no answer came within 10 s.
    std::optional<Response> call(http::verb verb, const std::string& target, const std::string& body = {},
                                 const std::map<std::string, std::string>& headers = {}, bool withSession = true) {
        http::request<http::string_body> request{verb, target, 11};
        request.set(http::field::host, "127.0.0.1:" + std::to_string(server_->port()));
        if (withSession && !cookie_.empty()) request.set(http::field::cookie, cookie_);
        if (withSession && !csrf_.empty()) request.set("X-CSRF-Token", csrf_);
        if (!body.empty()) request.set(http::field::content_type, "application/json");
        for (const auto& [name, value] : headers) request.set(name, value);
        request.body() = body;
        request.prepare_payload();

        asio::io_context io;
        beast::tcp_stream stream(io);
        stream.expires_after(10s);
        beast::flat_buffer buffer;
        Response response;
        bool answered = false;
        stream.async_connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), server_->port()),
                             [&](boost::system::error_code error) {
                                 if (error) return;
                                 // Read while writing, as a browser does: a refusal may come before the body is sent.
                                 http::async_write(stream, request, [](boost::system::error_code, size_t) {});
                                 http::async_read(stream, buffer, response,
                                                  [&](boost::system::error_code error, size_t) { answered = !error; });
                             });
        io.run();
        if (!answered) return std::nullopt;
        return response;
    }

    std::optional<Response> post(const std::string& target, const std::string& body,
                                 const std::map<std::string, std::string>& headers = {}) {
        return call(http::verb::post, target, body, headers);
    }

    void login() {
        const auto response = post("/api/login", std::string(R"({"password":")") + kPassword + "\"}");
        ASSERT_TRUE(response);
        ASSERT_EQ(response->result_int(), 200) << response->body();
        const std::string setCookie(response->at(http::field::set_cookie));
        EXPECT_NE(setCookie.find("; HttpOnly; SameSite=Strict; Path=/"), std::string::npos) << setCookie;
        cookie_ = setCookie.substr(0, setCookie.find(';'));
        csrf_ = response->body().substr(9, 64);  // {"csrf":"<64 hex>"}
    }

    TempDir state_;
    FakeRecorder recorder_{state_ / "socket"};
    // The handler's pool finishes its jobs, which hold work on io_, before io_ goes.
    asio::io_context io_;
    std::optional<RequestHandler> handler_;
    std::optional<HttpServer> server_;
    std::vector<std::thread> threads_;
    std::string cookie_, csrf_;
};

int status(const std::optional<Response>& response) { return response ? response->result_int() : 0; }

}  // namespace

TEST_F(WebServer, ChangesNeedTheSessionItsTokenAndTheSameOrigin) {
    start();
    EXPECT_EQ(status(call(http::verb::get, "/api/status")), 401);
    EXPECT_EQ(status(post("/api/login", R"({"password":"wrong password"})")), 401);
    EXPECT_EQ(status(post("/api/drives/rec", R"({"id":3})")), 401);
    login();

    const std::string host = "http://127.0.0.1:" + std::to_string(server_->port());
    EXPECT_EQ(status(post("/api/drives/rec", R"({"id":3})", {{"X-CSRF-Token", ""}})), 403);
    EXPECT_EQ(status(post("/api/drives/rec", R"({"id":3})", {{"X-CSRF-Token", std::string(64, '0')}})), 403);
    EXPECT_EQ(status(post("/api/drives/rec", R"({"id":3})", {{"Origin", "http://elsewhere.example"}})), 403);
    EXPECT_EQ(status(post("/api/drives/rec", R"({"id":3})", {{"Origin", "null"}})), 403);
    EXPECT_EQ(recorder_.requests().size(), 0u);  // nothing refused reached the recorder
    EXPECT_EQ(status(post("/api/drives/rec", R"({"id":3})", {{"Origin", host}})), 200);
    EXPECT_EQ(recorder_.requests(), std::vector<std::string>{"SET#USB#3#REC#"});

    EXPECT_EQ(status(post("/api/logout", "")), 200);
    EXPECT_EQ(status(post("/api/drives/stop", R"({"id":"all"})")), 401);
}

TEST_F(WebServer, ReadsAreOpenOnlyWhenTheSettingSaysSo) {
    start();
    EXPECT_EQ(status(call(http::verb::get, "/api/levels")), 401);
    login();
    EXPECT_EQ(call(http::verb::get, "/api/levels")->body(), R"({"left":100,"right":200})");
    EXPECT_EQ(status(post("/api/web-settings", R"({"readsOpen":true})")), 200);
    EXPECT_EQ(status(call(http::verb::get, "/api/levels", {}, {}, false)), 200);
    EXPECT_EQ(status(post("/api/drives/rec", R"({"id":3})", {{"Cookie", ""}, {"X-CSRF-Token", ""}})), 401);
}

TEST_F(WebServer, RequestsOverTheBoundsAreRefused) {
    start();
    EXPECT_EQ(status(call(http::verb::get, "/", {}, {{"X-Big", std::string(9000, 'a')}})), 431);
    std::map<std::string, std::string> many;
    for (int i = 0; i < 70; ++i) many["X-Field-" + std::to_string(i)] = "1";
    EXPECT_EQ(status(call(http::verb::get, "/", {}, many)), 431);
    login();
    EXPECT_EQ(status(post("/api/settings", "{\"fileName\":\"" + std::string(5000, 'a') + "\"}")), 413);
    EXPECT_EQ(status(post("/api/logo", std::string(RequestHandler::kLogoLimit + 1, 'x'), {{"Content-Type", "image/png"}})),
              413);
    const auto page = call(http::verb::get, "/?from=bookmark");
    ASSERT_EQ(status(page), 200);
    EXPECT_EQ(page->at(http::field::content_type), "text/html; charset=utf-8");
}

TEST_F(WebServer, ConnectionsOverTheBoundAreClosedAndTheOthersServed) {
    HttpLimits limits;
    limits.connections = 2;
    start(limits);
    const asio::ip::tcp::endpoint server(asio::ip::make_address("127.0.0.1"), server_->port());
    asio::io_context io;
    std::vector<asio::ip::tcp::socket> open;
    for (int i = 0; i < 3; ++i) open.emplace_back(io).connect(server);
    // The third is closed without an answer: the read ends at once instead of timing out.
    timeval wait{10, 0};
    ::setsockopt(open[2].native_handle(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char byte;
    boost::system::error_code error;
    open[2].read_some(asio::buffer(&byte, 1), error);
    EXPECT_EQ(error, asio::error::eof);
    const std::string request = "GET /static/app.css HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    asio::write(open[0], asio::buffer(request));
    ::setsockopt(open[0].native_handle(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string answer;
    asio::read(open[0], asio::dynamic_buffer(answer), error);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK", 0), 0u) << answer;
}

TEST_F(WebServer, ASlowRecorderHoldsOnlyItsOwnRequest) {
    start({}, 60s);
    login();
    recorder_.hold("GET#INFO#");
    std::optional<Response> slow;
    std::thread waiting([&] { slow = call(http::verb::get, "/api/status"); });
    ASSERT_TRUE(recorder_.saw("GET#INFO#"));
    // Answered while the status still waits for the recorder (the client gives up after 10 s).
    EXPECT_EQ(status(call(http::verb::get, "/")), 200);
    EXPECT_EQ(status(call(http::verb::get, "/api/drives")), 200);
    EXPECT_EQ(status(call(http::verb::get, "/api/levels")), 200);
    recorder_.release();
    waiting.join();
    EXPECT_EQ(status(slow), 200);
    EXPECT_NE(slow->body().find(R"("recording":false)"), std::string::npos) << slow->body();
}

TEST_F(WebServer, ASilentRecorderGives504) {
    start();
    login();
    recorder_.silent();
    const auto levels = call(http::verb::get, "/api/levels");
    EXPECT_EQ(status(levels), 504);
    EXPECT_EQ(levels->body(), R"({"error":"recorder not answering"})");
}

TEST_F(WebServer, CaptureSettingsAndFormattingWaitUntilNothingRecords) {
    start();
    login();
    recorder_.reply("GET#USB#", kRecordingDrive);
    EXPECT_EQ(post("/api/settings", R"({"fileName":"news","pal":false})")->body(),
              R"({"error":"refused while recording","field":"pal"})");
    EXPECT_EQ(status(post("/api/drives/format", R"({"id":3,"confirm":"CAM A"})")), 409);
    EXPECT_EQ(status(post("/api/settings", R"({"fileName":"news"})")), 200);
    recorder_.reply("SET#TCB#0#2#", "ERR");
    EXPECT_EQ(post("/api/settings", R"({"tcBurnIn":2})")->body(),
              R"({"error":"the recorder refused this setting","field":"tcBurnIn"})");

    recorder_.reply("GET#USB#", kIdleDrive);
    EXPECT_EQ(status(post("/api/drives/format", R"({"id":3,"confirm":"CAM"})")), 400);
    EXPECT_EQ(status(post("/api/drives/format", R"({"id":4,"confirm":"CAM A"})")), 404);
    EXPECT_EQ(status(post("/api/drives/format", R"({"id":3,"confirm":"CAM A"})")), 200);
    const auto sent = recorder_.requests();
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const std::string& r) { return r.find("FMT") != std::string::npos; }),
              1);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "SET#PAL#0#0#"), 0);
}

TEST_F(WebServer, ALogoIsStoredWholeBeforeTheRecorderReloadsIt) {
    start();
    login();
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x10\0\0\0\x10\x08\x06\0\0\0\0\0\0\0", 33);
    png += std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    EXPECT_EQ(status(post("/api/logo", png, {{"Content-Type", "application/octet-stream"}})), 400);
    EXPECT_EQ(status(post("/api/logo", png.substr(1), {{"Content-Type", "image/png"}})), 400);
    EXPECT_FALSE(std::filesystem::exists(state_ / "logo.png"));
    EXPECT_EQ(status(post("/api/logo", png, {{"Content-Type", "image/png"}})), 200);
    EXPECT_EQ(testing_support::readFile(state_ / "logo.png"), png);
    EXPECT_EQ(recorder_.requests().back(), "SET#LOGO#0#1#");
}
