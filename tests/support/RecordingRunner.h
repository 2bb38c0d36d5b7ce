// A command runner that runs nothing and keeps every argument vector it is given.
#pragma once

#include "platform/CommandRunner.h"

#include "TestFiles.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct RecordingRunner : qva::CommandRunner {
    using Argv = std::vector<std::string>;
    RecordingRunner() : CommandRunner("") {}
    int run(const Argv& argv) override {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(argv);
        return 0;
    }
    // The calls, sorted, once there are `count` (some come from detached threads) and a moment later, for strays.
    std::vector<Argv> taken(size_t count = 0) {
        const auto enough = [&] {
            std::lock_guard<std::mutex> guard(lock);
            return calls.size() >= count;
        };
        within(std::chrono::seconds(5), enough);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::lock_guard<std::mutex> guard(lock);
        std::vector<Argv> sorted = calls;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }
    std::mutex lock;
    std::vector<Argv> calls;
};
