// The recorder's command socket from the web front end: one request per
// connection, the reply is everything up to the recorder's close. Waits
// asynchronously, so a recorder that does not answer holds nothing but its
// own request, and gives up after the timeout.
#pragma once

#include "AsioCoroutines.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

class RecorderClient {
public:
    RecorderClient(std::string socketPath, std::chrono::milliseconds timeout);

    // The reply to "line" (sent with "\r\n"); nothing when the recorder could
    // not be reached or did not answer in time. The line is copied before the
    // first suspension.
    boost::asio::awaitable<std::optional<std::string>> request(std::string_view line) const;

private:
    static constexpr size_t kMaxReply = 64 * 1024;

    const std::string socketPath_;
    const std::chrono::milliseconds timeout_;
    // The last connect error told on stderr, so a missing socket or a wrong
    // permission is named once, not at every request.
    mutable std::atomic<int> toldError_{0};
};
