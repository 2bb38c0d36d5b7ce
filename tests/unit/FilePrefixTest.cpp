#include "core/FilePrefix.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(FilePrefix, KeepsAtMost63Characters) {
    FilePrefix prefix;
    EXPECT_EQ(prefix.get(), "");
    prefix.set(std::string(100, 'x'));
    EXPECT_EQ(prefix.get(), std::string(63, 'x'));
    prefix.set("recPAL");
    EXPECT_EQ(prefix.get(), "recPAL");
}

TEST(FilePrefix, ReaderNeverSeesHalfAName) {
    const std::string longName(63, 'a');
    const std::string shortName = "bbbb";
    FilePrefix prefix(shortName);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) prefix.set(i % 2 ? longName : shortName);
        done = true;
    });
    int torn = 0;
    while (!done) {
        std::string seen = prefix.get();
        if (seen != longName && seen != shortName) ++torn;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
}
