#include "remote/web_command_listner.h"

#include <boost/asio.hpp>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <system_error>

namespace {

using stream = boost::asio::local::stream_protocol;

void printError(const std::string& description) {
    std::cerr << " Network Listner : Error \n" << description << "\n";
}

// The client may have gone: no SIGPIPE, just an error.
bool sendAll(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

}  // namespace

web_command_listner::web_command_listner(LcdGui* gui, USBListener* usb, networkValue* network, TimeCodeBurner* burner)
    : target(gui, usb, network, burner), protocol(target), wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wakeFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

web_command_listner::~web_command_listner() {
    stop();
    join();
    ::close(wakeFd);
}

void web_command_listner::start(const std::string& path) {
    ::unlink(path.c_str());  // a socket left by an earlier run; none is fine
    thread = std::thread([this, path] { listen(path); });
}

void web_command_listner::join() {
    if (thread.joinable()) thread.join();
}

void web_command_listner::stop() {
    stopping = true;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
}

bool web_command_listner::waitReadable(int fd, std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(fds, 2, int(timeout.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) throw std::system_error(errno, std::generic_category(), "poll");
        if (stopping || fds[1].revents != 0) return false;
        return ready > 0;
    }
}

void web_command_listner::listen(const std::string& path) {
    // A socket that cannot be set up (its folder missing, say) is tried again
    // every second: otherwise the web front end could not reach the box
    // until the recorder restarts. The same failure is reported once.
    std::string reported;
    while (!stopping) {
        try {
            acceptOn(path);
            return;  // stopped
        } catch (const std::exception& error) {
            if (error.what() != reported) printError(error.what());
            reported = error.what();
        }
        waitReadable(-1, std::chrono::milliseconds(1000));  // a second, or until stop
        ::unlink(path.c_str());
    }
}

void web_command_listner::acceptOn(const std::string& path) {
    boost::asio::io_context context;
    stream::acceptor acceptor(context);
    const stream::endpoint endpoint(path);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(stream::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();

    // The web server runs as another user; the group needs nothing.
    if (::chmod(path.c_str(), 0707) != 0) {
        std::cerr << " Network listner : chmod() did not succeed. Plix do it manually...";
        std::perror("");
    }

    while (!stopping) {
        if (!waitReadable(acceptor.native_handle(), std::chrono::milliseconds(-1))) continue;
        stream::socket client(context);
        boost::system::error_code error;
        acceptor.accept(client, error);
        if (error) {
            // A client that gave up in the queue, or too many files: go on.
            printError(error.message());
            continue;
        }
        serve(client.native_handle());
    }
}

void web_command_listner::serve(int client) {
    // This connection's own bytes: whatever follows its line goes with it.
    std::string received;
    char chunk[4096];
    try {
        size_t end;
        for (;;) {
            end = received.find("\r\n");
            if (end != std::string::npos && end <= kMaxLine) break;
            if (end != std::string::npos || received.size() > kMaxLine + 1) {
                sendAll(client, "ERR");
                printError("request line longer than 4096 bytes");
                return;
            }
            if (!waitReadable(client, kIdleTimeout)) {
                if (!stopping) printError("client idle for 5 seconds");
                return;
            }
            const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw std::system_error(errno, std::generic_category(), "read");
            if (n == 0) throw std::runtime_error("end of file before \"\\r\\n\"");
            received.append(chunk, size_t(n));
        }
        // The line runs to the first line feed, which may come before the "\r\n".
        const std::string line = received.substr(0, received.find('\n'));
        std::string reply;
        try {
            reply = protocol.process_command(line);
        } catch (const std::exception& error) {
            printError(error.what());
            reply = "ERR";
        }
        if (!sendAll(client, reply)) throw std::system_error(errno, std::generic_category(), "write");
    } catch (const std::exception& error) {
        printError(error.what());
    }
}
