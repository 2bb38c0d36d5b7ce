// The command socket of the web front end: a Unix-domain stream socket on
// which one thread serves one request line per connection, one client at a
// time. No client can end the server: a bad connection is dropped alone.
#pragma once

#include "remote/BoxCommandTarget.h"
#include "remote/CommandProtocol.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

class LcdGui;
class USBListener;
class networkValue;
class TimeCodeBurner;

class web_command_listner {
public:
    static constexpr size_t kMaxLine = 4096;
    static constexpr std::chrono::milliseconds kIdleTimeout{5000};

    // None owned. Starts nothing.
    web_command_listner(LcdGui* gui, USBListener* usb, networkValue* network, TimeCodeBurner* burner);
    web_command_listner(const web_command_listner&) = delete;
    web_command_listner& operator=(const web_command_listner&) = delete;
    ~web_command_listner();  // stops and joins (the box never gets here)

    // Removes an old file at path, then serves on it from a new thread.
    void start(const std::string& path);
    void listen(const std::string& path);  // the server thread's body
    void join();
    void stop();  // ends the server thread soon, wherever it waits

private:
    class Connection;
    void acceptOn(const std::string& path);  // binds and serves until stop; throws on set-up failure
    void serve(int client);  // one request on an accepted connection
    bool waitReadable(int fd, std::chrono::milliseconds timeout);  // false on stop or timeout

    BoxCommandTarget target;
    CommandProtocol protocol;  // only the server thread uses it after construction
    std::thread thread;
    int wakeFd = -1;  // an eventfd that stop() signals
    std::atomic<bool> stopping{false};
};
