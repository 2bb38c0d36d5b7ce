#include "LoginLimiter.h"

#include <algorithm>

LoginLimiter::LoginLimiter(Rules rules, std::function<Clock::time_point()> now)
    : rules_(rules), now_(std::move(now)) {}

long LoginLimiter::waitFor(const Record& record, int free, Clock::time_point now) const {
    if (record.failures < free) return 0;
    const int doublings = std::min(record.failures - free, 20);
    const auto delay = std::min<std::chrono::seconds>(std::chrono::seconds(1L << doublings), rules_.ceiling);
    const auto ready = record.last + delay;
    if (now >= ready) return 0;
    return long(std::chrono::ceil<std::chrono::seconds>(ready - now).count());
}

long LoginLimiter::attempt(const std::string& address) {
    const Clock::time_point now = now_();
    std::lock_guard guard(lock_);
    long wait = waitFor(global_, rules_.freeGlobal, now);
    const auto found = addresses_.find(address);
    if (found != addresses_.end()) wait = std::max(wait, waitFor(found->second, rules_.freePerAddress, now));
    if (wait > 0) return wait;
    std::erase_if(addresses_, [&](const auto& entry) { return now - entry.second.last >= rules_.forgetAfter; });
    if (now - global_.last >= rules_.forgetAfter) global_.failures = 0;
    if (addresses_.size() >= rules_.maxAddresses && !addresses_.count(address)) {
        const auto oldest = std::min_element(addresses_.begin(), addresses_.end(), [](const auto& a, const auto& b) {
            return a.second.last < b.second.last;
        });
        addresses_.erase(oldest);
    }
    Record& record = addresses_[address];
    ++record.failures;
    record.last = now;
    ++global_.failures;
    global_.last = now;
    return 0;
}

void LoginLimiter::succeeded(const std::string& address) {
    std::lock_guard guard(lock_);
    if (addresses_.erase(address) != 0 && global_.failures > 0) --global_.failures;
}
