// Every HTTP request of the front end, from its parsed form to its answer:
// the pages, the JSON API and its security rules (session cookie, CSRF
// token, same origin, login limits). Recorder requests and slow work (password
// hashing, files, the preview) never block the I/O threads.
#pragma once

#include "AsioCoroutines.h"
#include "LoginLimiter.h"
#include "PasswordStore.h"
#include "RecorderClient.h"
#include "SessionStore.h"
#include "WebSettings.h"

#include <boost/asio/thread_pool.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <QJsonObject>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

class RequestHandler {
public:
    using Request = boost::beast::http::request<boost::beast::http::string_body>;
    using Response = boost::beast::http::response<boost::beast::http::string_body>;

    struct Options {
        std::string socketPath;
        std::chrono::milliseconds recorderTimeout{2000};
        std::string stateDir;
        std::string logoPath;
        // The live picture as JPEG; nothing before the first one.
        std::function<std::optional<std::string>()> preview;
        LoginLimiter::Rules loginRules{};
    };

    static constexpr size_t kLogoLimit = 1024 * 1024;
    static constexpr size_t kBodyLimit = 4096;

    explicit RequestHandler(Options options);
    // Waits for the slow jobs; the io_context they resume on must still exist.
    ~RequestHandler();

    // The largest body a request with this method and target may carry.
    static size_t bodyLimit(boost::beast::http::verb method, std::string_view target);

    // Both arguments must outlive the call (GCC 12 destroys by-value class
    // arguments of a coroutine twice when the call is part of a co_await
    // expression, so every coroutine here takes references or plain values).
    boost::asio::awaitable<Response> handle(Request& request, const std::string& clientAddress);

private:
    struct Call;

    boost::asio::awaitable<Response> api(Call& call);
    boost::asio::awaitable<Response> login(Call& call);
    boost::asio::awaitable<Response> changePassword(Call& call);
    boost::asio::awaitable<Response> status(Call& call);
    boost::asio::awaitable<Response> drives(Call& call);
    boost::asio::awaitable<Response> simpleReport(Call& call, const char* request,
                                                  std::optional<QJsonObject> (*parse)(std::string_view));
    boost::asio::awaitable<Response> driveAction(Call& call, const char* action);
    boost::asio::awaitable<Response> format(Call& call);
    boost::asio::awaitable<Response> settings(Call& call);
    boost::asio::awaitable<Response> send(Call& call, std::string_view request, const char* refusal,
                                          std::string_view field = {});
    boost::asio::awaitable<Response> logo(Call& call);
    boost::asio::awaitable<Response> preview(Call& call);
    Response page(const Call& call) const;

    // Runs work on the pool for slow jobs and resumes on the caller's executor.
    template <typename Work>
    boost::asio::awaitable<std::invoke_result_t<Work&>> offload(Work& work);

    Options options_;
    RecorderClient recorder_;
    PasswordStore passwords_;
    WebSettings webSettings_;
    SessionStore sessions_;
    LoginLimiter limiter_;
    boost::asio::thread_pool slowWork_{2};
};
