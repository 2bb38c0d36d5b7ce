// One connection to the recorder's command socket, closed with the object:
// the web front end's side of the conversation.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

class SocketClient {
public:
    // Retries for two seconds, as the server binds on its own thread; a reply waits 30 s at most.
    explicit SocketClient(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        for (int i = 0; i < 200 && fd_ < 0; ++i) {
            fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
            ::close(fd_);
            fd_ = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const timeval limit{30, 0};
        if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~SocketClient() { ::close(fd_); }  // -1: nothing to close
    SocketClient(const SocketClient&) = delete;
    SocketClient& operator=(const SocketClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send(const std::string& bytes) {  // blocking: all of it, or the server has closed
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // Everything until the server closes the connection (or the reply timeout).
    std::string reply() {
        std::string all;
        char chunk[4096];
        for (ssize_t n; (n = ::recv(fd_, chunk, sizeof chunk, 0)) > 0 || (n < 0 && errno == EINTR);) {
            if (n > 0) all.append(chunk, size_t(n));  // EINTR: a child of the test ended, say
        }
        return all;
    }

    static std::string ask(const std::string& path, const std::string& line) {
        SocketClient client(path);
        if (!client.connected() || !client.send(line + "\r\n")) return "(no connection)";
        return client.reply();
    }

private:
    int fd_ = -1;
};
