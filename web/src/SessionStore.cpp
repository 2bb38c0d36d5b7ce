#include "SessionStore.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

SessionStore::SessionStore(size_t maxSessions, std::chrono::seconds idleLimit, std::function<Clock::time_point()> now)
    : maxSessions_(std::max<size_t>(maxSessions, 1)), idleLimit_(idleLimit), now_(std::move(now)) {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
}

std::string SessionStore::randomHex(size_t bytes) {
    std::vector<unsigned char> random(bytes);
    randombytes_buf(random.data(), random.size());
    std::string hex(bytes * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), random.data(), random.size());
    hex.pop_back();
    return hex;
}

SessionStore::Session SessionStore::create() {
    Session session{randomHex(32), randomHex(32)};
    const Clock::time_point now = now_();
    std::lock_guard guard(lock_);
    std::erase_if(sessions_, [&](const auto& entry) { return now - entry.second.lastUse >= idleLimit_; });
    while (sessions_.size() >= maxSessions_) {
        const auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
            return a.second.lastUse < b.second.lastUse;
        });
        sessions_.erase(oldest);
    }
    sessions_[session.id] = Entry{session.csrf, now};
    return session;
}

std::optional<SessionStore::Session> SessionStore::find(const std::string& id) {
    if (id.empty()) return std::nullopt;
    const Clock::time_point now = now_();
    std::lock_guard guard(lock_);
    const auto found = sessions_.find(id);
    if (found == sessions_.end()) return std::nullopt;
    if (now - found->second.lastUse >= idleLimit_) {
        sessions_.erase(found);
        return std::nullopt;
    }
    found->second.lastUse = now;
    return Session{found->first, found->second.csrf};
}

void SessionStore::remove(const std::string& id) {
    std::lock_guard guard(lock_);
    sessions_.erase(id);
}

void SessionStore::removeAllBut(const std::string& id) {
    std::lock_guard guard(lock_);
    std::erase_if(sessions_, [&](const auto& entry) { return entry.first != id; });
}

bool SessionStore::tokenMatches(const Session& session, const std::string& token) {
    return token.size() == session.csrf.size() && !token.empty() &&
           sodium_memcmp(token.data(), session.csrf.data(), token.size()) == 0;
}
