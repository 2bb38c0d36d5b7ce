// Slows password guessing: after a few failed logins from one address, and
// after more from all addresses together, each further attempt has to wait,
// twice as long after every failure up to a ceiling. A success clears the
// address's count; failures are forgotten after an hour of quiet.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

struct LoginRules {
    int freePerAddress = 5;
    int freeGlobal = 20;
    std::chrono::seconds ceiling{300};
    std::chrono::seconds forgetAfter{3600};
    size_t maxAddresses = 4096;
};

class LoginLimiter {
public:
    using Clock = std::chrono::steady_clock;

    using Rules = LoginRules;

    explicit LoginLimiter(Rules rules = {}, std::function<Clock::time_point()> now = Clock::now);

    // 0 when this address may try now; the attempt then counts as a failure
    // until succeeded() says otherwise, so parallel guesses see each other.
    // Otherwise the seconds to wait, and nothing is counted.
    long attempt(const std::string& address);
    void succeeded(const std::string& address);

private:
    struct Record {
        int failures = 0;
        Clock::time_point last{};
    };

    long waitFor(const Record& record, int free, Clock::time_point now) const;

    const Rules rules_;
    const std::function<Clock::time_point()> now_;
    std::mutex lock_;
    std::map<std::string, Record> addresses_;
    Record global_;
};
