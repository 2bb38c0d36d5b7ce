#include "RecorderClient.h"

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/basic_stream.hpp>
#include <boost/beast/core/error.hpp>

#include <iostream>

namespace asio = boost::asio;
using asio::use_awaitable;

RecorderClient::RecorderClient(std::string socketPath, std::chrono::milliseconds timeout)
    : socketPath_(std::move(socketPath)), timeout_(timeout) {}

asio::awaitable<std::optional<std::string>> RecorderClient::request(std::string_view line) const {
    const std::string sent = std::string(line) + "\r\n";
    boost::beast::basic_stream<asio::local::stream_protocol> stream(co_await asio::this_coro::executor);
    // One deadline for the whole exchange, connect included.
    stream.expires_after(timeout_);
    boost::system::error_code error;
    co_await stream.async_connect(asio::local::stream_protocol::endpoint(socketPath_),
                                  asio::redirect_error(use_awaitable, error));
    if (error) {
        if (error != boost::beast::error::timeout && toldError_.exchange(error.value()) != error.value())
            std::cerr << "qva-web: cannot reach the recorder at " << socketPath_ << ": " << error.message() << "\n";
        co_return std::nullopt;
    }
    toldError_ = 0;
    co_await asio::async_write(stream, asio::buffer(sent), asio::redirect_error(use_awaitable, error));
    if (error) co_return std::nullopt;
    std::string reply;
    co_await asio::async_read(stream, asio::dynamic_buffer(reply, kMaxReply), asio::redirect_error(use_awaitable, error));
    if (error != asio::error::eof) co_return std::nullopt;
    co_return reply;
}
