#include "HttpServer.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <array>
#include <chrono>

#include <QJsonDocument>
#include <QJsonObject>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::awaitable;
using asio::use_awaitable;
using tcp = asio::ip::tcp;

namespace {

// How long a refused request's remaining body is read and dropped.
constexpr auto kLinger = std::chrono::seconds(2);

RequestHandler::Response refusal(http::status status, const char* message) {
    RequestHandler::Response response{status, 11};
    response.set(http::field::content_type, "application/json");
    response.body() = QJsonDocument(QJsonObject{{"error", message}}).toJson(QJsonDocument::Compact).toStdString();
    response.keep_alive(false);
    response.prepare_payload();
    return response;
}

// Counts a connection for as long as it lives.
class ConnectionCount {
public:
    explicit ConnectionCount(std::atomic<size_t>& count) : count_(count) {}
    ~ConnectionCount() { --count_; }
    ConnectionCount(const ConnectionCount&) = delete;
    ConnectionCount& operator=(const ConnectionCount&) = delete;

private:
    std::atomic<size_t>& count_;
};

}  // namespace

HttpServer::HttpServer(asio::io_context& io, const tcp::endpoint& endpoint, RequestHandler& handler, Limits limits)
    : io_(io), handler_(handler), limits_(limits), acceptor_(asio::make_strand(io)) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    port_ = acceptor_.local_endpoint().port();
}

void HttpServer::start() { asio::co_spawn(acceptor_.get_executor(), acceptLoop(), asio::detached); }

void HttpServer::stop() {
    asio::dispatch(acceptor_.get_executor(), [this] {
        boost::system::error_code ignored;
        acceptor_.close(ignored);
    });
}

awaitable<void> HttpServer::acceptLoop() {
    for (;;) {
        boost::system::error_code error;
        tcp::socket socket = co_await acceptor_.async_accept(asio::make_strand(io_), asio::redirect_error(use_awaitable, error));
        if (error == asio::error::operation_aborted || !acceptor_.is_open()) co_return;
        if (error) {
            // Out of descriptors, say: try again shortly instead of spinning.
            asio::steady_timer pause(acceptor_.get_executor(), std::chrono::milliseconds(100));
            co_await pause.async_wait(asio::redirect_error(use_awaitable, error));
            continue;
        }
        // Over the bound a connection is closed at once: cheaper than any answer.
        if (open_.fetch_add(1) >= limits_.connections) {
            --open_;
            socket.close(error);
            continue;
        }
        const auto executor = socket.get_executor();
        asio::co_spawn(executor, serve(std::move(socket)), asio::detached);
    }
}

awaitable<void> HttpServer::serve(tcp::socket socket) {
    ConnectionCount counted(open_);
    boost::system::error_code error;
    const tcp::endpoint peer = socket.remote_endpoint(error);
    const std::string client = error ? std::string() : peer.address().to_string();
    beast::tcp_stream stream(std::move(socket));
    beast::flat_buffer buffer;

    for (;;) {
        http::request_parser<http::string_body> parser;
        parser.header_limit(limits_.headerBytes);
        // The largest any request may announce; the request's own limit follows its header.
        parser.body_limit(RequestHandler::kLogoLimit);
        // Header and body must both arrive within this time; an idle keep-alive
        // connection ends when it runs out.
        stream.expires_after(limits_.requestTime);
        co_await http::async_read_header(stream, buffer, parser, asio::redirect_error(use_awaitable, error));
        std::optional<RequestHandler::Response> refused;
        if (error == http::error::header_limit) {
            refused = refusal(http::status::request_header_fields_too_large, "request header too large");
        } else if (error == http::error::body_limit) {
            refused = refusal(http::status::payload_too_large, "request body too large");
        } else if (error) {
            if (error != http::error::end_of_stream && error != beast::error::timeout &&
                error != asio::error::connection_reset && error != asio::error::eof)
                refused = refusal(http::status::bad_request, "malformed request");
        } else if (size_t(std::distance(parser.get().begin(), parser.get().end())) > limits_.headerFields) {
            refused = refusal(http::status::request_header_fields_too_large, "too many header fields");
        } else {
            const auto target = parser.get().target();
            const std::string_view path(target.data(), std::min(target.size(), target.find('?')));
            const size_t limit = RequestHandler::bodyLimit(parser.get().method(), path);
            parser.body_limit(limit);
            if (parser.content_length() && *parser.content_length() > limit) {
                error = http::error::body_limit;
            } else if (beast::iequals(parser.get()[http::field::expect], "100-continue")) {
                // curl asks before sending a larger body, and would wait a second otherwise.
                http::response<http::empty_body> goOn{http::status::continue_, 11};
                co_await http::async_write(stream, goOn, asio::redirect_error(use_awaitable, error));
            }
            if (!error) co_await http::async_read(stream, buffer, parser, asio::redirect_error(use_awaitable, error));
            if (error == http::error::body_limit)
                refused = refusal(http::status::payload_too_large, "request body too large");
            else if (error == beast::error::timeout || error == http::error::partial_message ||
                     error == asio::error::eof || error == asio::error::connection_reset)
                co_return;
            else if (error)
                refused = refusal(http::status::bad_request, "malformed request");
        }
        if (refused) {
            stream.expires_after(limits_.requestTime);
            co_await http::async_write(stream, *refused, asio::redirect_error(use_awaitable, error));
            stream.socket().shutdown(tcp::socket::shutdown_send, error);
            // The client may still be sending the body we refused. Closing with
            // unread data would reset the connection and could destroy the answer
            // before the client reads it, so the rest is read and dropped for a
            // short while first.
            stream.expires_after(kLinger);
            std::array<char, 16384> discard;
            while (!error)
                co_await stream.async_read_some(asio::buffer(discard), asio::redirect_error(use_awaitable, error));
            co_return;
        }
        if (error) co_return;

        RequestHandler::Request request = parser.release();
        const bool keepAlive = request.keep_alive();
        const unsigned version = request.version();
        RequestHandler::Response response = co_await handler_.handle(request, client);
        response.version(version);
        response.keep_alive(keepAlive);
        response.prepare_payload();
        stream.expires_after(limits_.requestTime);
        co_await http::async_write(stream, response, asio::redirect_error(use_awaitable, error));
        if (error || !keepAlive) break;
    }
    stream.socket().shutdown(tcp::socket::shutdown_send, error);
}
