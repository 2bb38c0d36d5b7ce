// The command socket of the web front end: a Unix-domain stream socket that
// carries one request line and one reply per connection. One thread serves
// every connection at once, so a slow or silent client holds up no other;
// requests are still carried out one after another. No client can end the
// server: a bad connection is dropped alone.
#pragma once

#include "remote/BoxCommandTarget.h"
#include "remote/CommandProtocol.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace boost::asio {
class io_context;
}

class LcdGui;
class USBListener;
class networkValue;
class TimeCodeBurner;

class web_command_listner {
public:
    static constexpr size_t kMaxLine = 4096;
    // From accept to the last byte of the reply, however the client trickles.
    static constexpr std::chrono::milliseconds kRequestDeadline{5000};
    // More open connections than this close the oldest one still waiting for its line.
    static constexpr size_t kMaxConnections = 64;

    // None owned. Starts nothing.
    web_command_listner(LcdGui* gui, USBListener* usb, networkValue* network, TimeCodeBurner* burner);
    web_command_listner(const web_command_listner&) = delete;
    web_command_listner& operator=(const web_command_listner&) = delete;
    ~web_command_listner();  // stops and joins (the box never gets here)

    // Serves on path from a new thread, the socket limited to root and group.
    void start(const std::string& path, const std::string& group = "qva");
    void listen(const std::string& path);  // the server thread's body
    void join();
    void stop();  // ends the server thread soon, wherever it waits

private:
    void acceptOn(const std::string& path);  // binds and serves until stop; throws on set-up failure
    void report(const std::string& line);     // once per distinct line in a row

    BoxCommandTarget target;
    CommandProtocol protocol;  // only the server thread uses it after construction
    std::string group;
    std::string reported;  // the server thread's last set-up report
    bool accessReported = false;
    std::thread thread;

    std::mutex lock;  // guards stopping's changes and serving
    std::condition_variable woken;
    std::atomic<bool> stopping{false};
    boost::asio::io_context* serving = nullptr;  // the running server's context, for stop()
};
