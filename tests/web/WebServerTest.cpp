// The whole server in this process on 127.0.0.1:0, spoken to over HTTP with
// Beast's client, against a fake recorder on a temporary Unix socket.
#include "HttpServer.h"
#include "PasswordStore.h"
#include "RequestHandler.h"

#include <gtest/gtest.h>

#include "TestFiles.h"

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <atomic>
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
const std::string kDrive = "INFO#USB#3#ntfs=0;rec=0;size=64000;label=CAM A;free space=500;time left=00:40";

// Answers one request at a time on its own thread: a drive report to GET#USB#,
// "OK" to a SET, "ERR" to the rest; once silent, it takes requests and answers none.
class FakeRecorder {
public:
    explicit FakeRecorder(const std::string& path) : acceptor_(io_, asio::local::stream_protocol::endpoint(path)) {
        thread_ = std::thread([this] {
            for (;;) {
                asio::local::stream_protocol::socket socket(io_);
                std::string line;
                boost::system::error_code error;
                acceptor_.accept(socket, error);
                asio::read_until(socket, asio::dynamic_buffer(line), "\r\n", error);
                if (stopping_) return;
                std::lock_guard guard(lock_);
                requests_.push_back(line.substr(0, line.find("\r\n")));
                const std::string reply =
                    line.starts_with("GET#USB#") ? kDrive : line.starts_with("SET#") ? "OK" : "ERR";
                if (silent_) silenced_.push_back(std::move(socket));
                else asio::write(socket, asio::buffer(reply), error);
            }
        });
    }
    ~FakeRecorder() {
        stopping_ = true;
        asio::local::stream_protocol::socket(io_).connect(acceptor_.local_endpoint());  // wakes the thread
        thread_.join();
    }

    void silent() { silent_ = true; }
    std::vector<std::string> requests() {
        std::lock_guard guard(lock_);
        return requests_;
    }

private:
    asio::io_context io_;
    asio::local::stream_protocol::acceptor acceptor_;
    std::mutex lock_;
    std::vector<std::string> requests_;
    std::vector<asio::local::stream_protocol::socket> silenced_;
    std::atomic<bool> silent_ = false, stopping_ = false;
    std::thread thread_;
};

using Response = http::response<http::string_body>;

int status(const std::optional<Response>& response) { return response ? response->result_int() : 0; }

class WebServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(PasswordStore(state_.path().string()).set(kPassword));
        RequestHandler::Options options;
        options.socketPath = state_ / "socket";
        options.recorderTimeout = 500ms;
        options.stateDir = state_.path().string();
        options.logoPath = state_ / "logo.png";
        handler_.emplace(options);
        server_.emplace(io_, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0), *handler_);
        server_->start();
        for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io_.run(); });
    }

    void TearDown() override {
        if (server_) server_->stop();
        io_.stop();
        for (auto& thread : threads_) thread.join();
    }

    // One request on its own connection, a POST when it has a body; nothing when no answer came within 10 s.
    std::optional<Response> call(const std::string& target, const std::string& body = {},
                                 const std::map<std::string, std::string>& headers = {}) {
        http::request<http::string_body> request{body.empty() ? http::verb::get : http::verb::post, target, 11};
        request.set(http::field::host, "127.0.0.1:" + std::to_string(server_->port()));
        if (!cookie_.empty()) request.set(http::field::cookie, cookie_);
        if (!csrf_.empty()) request.set("X-CSRF-Token", csrf_);
        if (!body.empty())
            request.set(http::field::content_type, target == "/api/logo" ? "image/png" : "application/json");
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
        return answered ? std::optional(response) : std::nullopt;
    }

    void login() {
        const auto response = call("/api/login", std::string(R"({"password":")") + kPassword + "\"}");
        ASSERT_EQ(status(response), 200);
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

}  // namespace

TEST_F(WebServer, ChangesNeedTheSessionItsTokenAndTheSameOrigin) {
    EXPECT_EQ(status(call("/api/status")), 401);
    EXPECT_EQ(status(call("/api/login", R"({"password":"wrong password"})")), 401);
    EXPECT_EQ(status(call("/api/drives/rec", R"({"id":3})")), 401);
    login();

    const std::string host = "http://127.0.0.1:" + std::to_string(server_->port());
    EXPECT_EQ(status(call("/api/drives/rec", R"({"id":3})", {{"X-CSRF-Token", ""}})), 403);
    EXPECT_EQ(status(call("/api/drives/rec", R"({"id":3})", {{"X-CSRF-Token", std::string(64, '0')}})), 403);
    EXPECT_EQ(status(call("/api/drives/rec", R"({"id":3})", {{"Origin", "http://elsewhere.example"}})), 403);
    EXPECT_EQ(status(call("/api/drives/rec", R"({"id":3})", {{"Origin", "null"}})), 403);
    EXPECT_EQ(status(call("/api/drives/rec", R"({"id":3})", {{"Origin", host}})), 200);
    EXPECT_EQ(recorder_.requests(), std::vector<std::string>{"SET#USB#3#REC#"});  // nothing refused reached it

    // Reads opened to everyone leave changes behind the login.
    EXPECT_EQ(status(call("/api/web-settings", R"({"readsOpen":true})")), 200);
    EXPECT_EQ(status(call("/api/drives", {}, {{"Cookie", ""}})), 200);
    EXPECT_EQ(status(call("/api/logout", "{}")), 200);
    EXPECT_EQ(status(call("/api/drives/stop", R"({"id":"all"})")), 401);
}

TEST_F(WebServer, RequestsOverTheBoundsAreRefused) {
    EXPECT_EQ(status(call("/", {}, {{"X-Big", std::string(9000, 'a')}})), 431);
    login();
    EXPECT_EQ(status(call("/api/settings", "{\"fileName\":\"" + std::string(5000, 'a') + "\"}")), 413);
    EXPECT_EQ(status(call("/api/logo", std::string(RequestHandler::kLogoLimit + 1, 'x'))), 413);
    // A small file can still claim a picture 16 M pixels wide: refused, and nothing stored.
    std::string huge("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\x01\0\0\x10\0\0\0\x10\x08\x06\0\0\0\0\0\0\0", 33);
    EXPECT_EQ(status(call("/api/logo", huge + std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12))), 400);
    EXPECT_FALSE(std::filesystem::exists(state_ / "logo.png"));
}

TEST_F(WebServer, ASilentRecorderGives504) {
    login();
    recorder_.silent();
    EXPECT_EQ(status(call("/api/drives")), 504);
}
