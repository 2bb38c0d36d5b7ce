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
    // Retries for two seconds: the server binds on its own thread.
    explicit SocketClient(const std::string& path, std::chrono::seconds replyTimeout = std::chrono::seconds(30)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
            ::close(fd_);
            fd_ = -1;
        }
        if (fd_ < 0) return;
        timeval limit{static_cast<time_t>(replyTimeout.count()), 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~SocketClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    SocketClient(const SocketClient&) = delete;
    SocketClient& operator=(const SocketClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += size_t(n);
        }
        return true;
    }
    // Everything until the server closes the connection (or the reply timeout).
    std::string reply() {
        std::string all;
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;  // a child of the test ended, say
            if (n <= 0) return all;
            all.append(chunk, size_t(n));
        }
    }
    void close() {
        ::close(fd_);
        fd_ = -1;
    }

    // One request, one reply.
    static std::string ask(const std::string& path, const std::string& line) {
        SocketClient client(path);
        if (!client.connected() || !client.send(line + "\r\n")) return "(no connection)";
        return client.reply();
    }

private:
    int fd_ = -1;
};
