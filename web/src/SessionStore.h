// Logged-in browsers: a random session id (the cookie) with its own CSRF
// token. Sessions end after a time without use, and their number is bounded
// (the least recently used goes first), so nobody can fill the memory by
// logging in over and over.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

class SessionStore {
public:
    using Clock = std::chrono::steady_clock;

    struct Session {
        std::string id;    // 64 hex digits, the cookie's value
        std::string csrf;  // 64 hex digits, sent back in X-CSRF-Token
    };

    explicit SessionStore(size_t maxSessions = 64, std::chrono::seconds idleLimit = std::chrono::hours(12),
                          std::function<Clock::time_point()> now = Clock::now);

    Session create();
    // The session, its idle time restarted; nothing when unknown or expired.
    std::optional<Session> find(const std::string& id);
    void remove(const std::string& id);
    void removeAllBut(const std::string& id);

    // Compares in constant time.
    static bool tokenMatches(const Session& session, const std::string& token);
    static std::string randomHex(size_t bytes);

private:
    struct Entry {
        std::string csrf;
        Clock::time_point lastUse;
    };

    const size_t maxSessions_;
    const std::chrono::seconds idleLimit_;
    const std::function<Clock::time_point()> now_;
    std::mutex lock_;
    std::map<std::string, Entry> sessions_;
};
