// The HTTP side: accepts connections, reads requests within bounds (header
// size and field count, body size, time per request, number of connections)
// and hands them to the RequestHandler. Each connection is a coroutine on its
// own strand; the io_context may run on several threads.
#pragma once

#include "AsioCoroutines.h"
#include "RequestHandler.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <memory>

struct HttpLimits {
    size_t headerBytes = 8 * 1024;
    size_t headerFields = 64;
    size_t connections = 64;
    std::chrono::seconds requestTime{10};  // to read one request, or to wait for the next
};

class HttpServer {
public:
    using Limits = HttpLimits;

    // Binds and listens at once; throws boost::system::system_error when it cannot.
    HttpServer(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& endpoint, RequestHandler& handler,
               Limits limits = {});

    void start();  // begins accepting on the io_context
    void stop();   // closes the listening socket; open connections end on their own
                   // (within Limits::requestTime when idle)
    unsigned short port() const { return port_; }
    size_t openConnections() const { return open_.load(); }

private:
    boost::asio::awaitable<void> acceptLoop();
    boost::asio::awaitable<void> serve(boost::asio::ip::tcp::socket socket);

    boost::asio::io_context& io_;
    RequestHandler& handler_;
    const Limits limits_;
    boost::asio::ip::tcp::acceptor acceptor_;
    unsigned short port_ = 0;
    std::atomic<size_t> open_{0};
};
