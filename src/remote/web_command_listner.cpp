#include "remote/web_command_listner.h"

#include "platform/SandboxRoot.h"
#include "remote/SocketFile.h"

#include <boost/asio.hpp>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <list>
#include <memory>

namespace {

namespace asio = boost::asio;
using stream = asio::local::stream_protocol;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

void printError(const std::string& description) {
    std::cerr << " Network Listner : Error \n" << description << "\n";
}

// Dropped connections are logged at most once a second, with a count: a flood
// of connections must not become a flood of log.
class DropLog {
public:
    explicit DropLog(asio::io_context& context) : timer(context) {}

    void note(const std::string& reason) {
        ++count;
        last = reason;
        if (waiting) return;
        const auto due = printed + std::chrono::seconds(1);
        if (Clock::now() >= due) return print();
        waiting = true;
        timer.expires_at(due);
        timer.async_wait([this](error_code error) {
            waiting = false;
            if (!error) print();
        });
    }

private:
    void print() {
        if (count == 1) std::cerr << " Network listner : connection dropped: " << last << "\n";
        else std::cerr << " Network listner : " << count << " connections dropped, the last: " << last << "\n";
        count = 0;
        printed = Clock::now();
    }

    asio::steady_timer timer;
    size_t count = 0;
    std::string last;
    bool waiting = false;
    Clock::time_point printed{};
};

struct Connection {
    explicit Connection(asio::io_context& context) : socket(context), deadline(context) {}
    stream::socket socket;
    asio::steady_timer deadline;
    asio::streambuf input{web_command_listner::kMaxLine + 2};  // the longest line and its "\r\n"
    std::string reply;
    bool answering = false;
    bool open = true;
    std::list<std::shared_ptr<Connection>>::iterator place;
};
using ConnectionPtr = std::shared_ptr<Connection>;

// Every open connection of one bound socket, served from one thread. The
// requests themselves run one at a time, as they always have.
class Server {
public:
    Server(asio::io_context& context, stream::acceptor& acceptor, CommandProtocol& protocol)
        : context(context), acceptor(acceptor), protocol(protocol), pause(context), drops(context) {}

    void acceptNext() {
        auto connection = std::make_shared<Connection>(context);
        acceptor.async_accept(connection->socket, [this, connection](error_code error) {
            if (error == asio::error::operation_aborted) return;
            if (!error) {
                admit(connection);
                return acceptNext();
            }
            drops.note("accept: " + error.message());
            if (!outOfResources(error.value())) return acceptNext();
            // Out of descriptors: free one if a client waits idly, else breathe.
            if (closeOldestIdle("closed to free a file descriptor")) return acceptNext();
            pause.expires_after(std::chrono::milliseconds(100));
            pause.async_wait([this](error_code waited) {
                if (!waited) acceptNext();
            });
        });
    }

private:
    static bool outOfResources(int error) {
        return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
    }

    void admit(const ConnectionPtr& connection) {
        if (open.size() >= web_command_listner::kMaxConnections) closeOldestIdle("too many connections, the oldest idle one is closed");
        connection->place = open.insert(open.end(), connection);
        connection->deadline.expires_after(web_command_listner::kRequestDeadline);
        connection->deadline.async_wait([this, connection](error_code error) {
            if (!error) close(connection, connection->answering ? "reply not taken within 5 seconds" : "no request within 5 seconds");
        });
        asio::async_read_until(connection->socket, connection->input, "\r\n",
                               [this, connection](error_code error, size_t) { received(connection, error); });
    }

    void received(const ConnectionPtr& connection, error_code error) {
        if (!connection->open) return;
        if (error == asio::error::not_found) return answer(connection, "ERR", "request line longer than 4096 bytes");
        if (error == asio::error::eof) return close(connection, "end of file before \"\\r\\n\"");
        if (error) return close(connection, "read: " + error.message());
        // The line runs to the first line feed, which may come before the "\r\n";
        // whatever follows goes with this connection.
        const auto bytes = connection->input.data();
        std::string line(asio::buffers_begin(bytes), asio::buffers_end(bytes));
        line.erase(std::min(line.find('\n'), line.size()));
        std::string reply;
        try {
            reply = protocol.process_command(line);
        } catch (const std::exception& failure) {
            printError(failure.what());
            reply = "ERR";
        }
        answer(connection, std::move(reply), "");
    }

    // The reply has no terminator: the close marks its end.
    void answer(const ConnectionPtr& connection, std::string reply, std::string dropped) {
        connection->answering = true;
        connection->reply = std::move(reply);
        asio::async_write(connection->socket, asio::buffer(connection->reply),
                          [this, connection, dropped = std::move(dropped)](error_code error, size_t) {
                              close(connection, error ? "write: " + error.message() : dropped);
                          });
    }

    bool closeOldestIdle(const std::string& reason) {
        for (const auto& connection : open) {
            if (connection->answering) continue;
            close(ConnectionPtr(connection), reason);  // a copy: close() erases the list's own
            return true;
        }
        return false;
    }

    void close(const ConnectionPtr& connection, const std::string& dropped) {
        if (!connection->open) return;
        connection->open = false;
        error_code ignored;
        connection->socket.close(ignored);
        connection->deadline.cancel();
        open.erase(connection->place);
        if (!dropped.empty()) drops.note(dropped);
    }

    asio::io_context& context;
    stream::acceptor& acceptor;
    CommandProtocol& protocol;
    asio::steady_timer pause;
    DropLog drops;
    std::list<ConnectionPtr> open;  // oldest first
};

}  // namespace

web_command_listner::web_command_listner(LcdGui* gui, USBListener* usb, networkValue* network, TimeCodeBurner* burner)
    : target(gui, usb, network, burner), protocol(target) {}

web_command_listner::~web_command_listner() {
    stop();
    join();
}

void web_command_listner::start(const std::string& path, const std::string& accessGroup) {
    group = accessGroup;
    thread = std::thread([this, path] { listen(path); });
}

void web_command_listner::join() {
    if (thread.joinable()) thread.join();
}

void web_command_listner::stop() {
    std::lock_guard<std::mutex> guard(lock);
    stopping = true;
    if (serving != nullptr) serving->stop();
    woken.notify_all();
}

void web_command_listner::report(const std::string& line) {
    if (line.empty() || line == reported) return;
    std::cerr << line << "\n";
    reported = line;
}

void web_command_listner::listen(const std::string& path) {
    // A socket that cannot be set up (its folder missing, say) is tried again
    // every second: otherwise the web front end could not reach the box
    // until the recorder restarts. The same failure is reported once.
    for (;;) {
        try {
            acceptOn(path);
        } catch (const std::exception& error) {
            if (error.what() != reported) printError(error.what());
            reported = error.what();
        }
        std::unique_lock<std::mutex> guard(lock);
        if (woken.wait_for(guard, std::chrono::seconds(1), [this] { return stopping.load(); })) return;
    }
}

void web_command_listner::acceptOn(const std::string& path) {
    report(qva::clearSocketPath(path));
    asio::io_context context;
    stream::acceptor acceptor(context);
    const stream::endpoint endpoint(path);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(stream::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);

    const std::string access = qva::restrictSocket(path, group, !qva::sandboxRoot().empty());
    if (!accessReported && !access.empty()) std::cerr << access << "\n";
    accessReported = true;
    reported.clear();  // serving: a later failure is news again

    Server server(context, acceptor, protocol);
    server.acceptNext();
    {
        std::lock_guard<std::mutex> guard(lock);
        if (stopping) return;
        serving = &context;
    }
    context.run();  // until stop()
    std::lock_guard<std::mutex> guard(lock);
    serving = nullptr;
}
