// The buffer's bytes are judged through the writer and encoder tests; here,
// what a clear does to a taker waiting for the next pass.
#include "record/StreamBuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

TEST(StreamBuffer, WaitingTakerGetsTheFirstPacketPutAfterAClear) {
    StreamBuffer buffer;
    const auto take = [&] { return std::string(buffer.getData()->data.get(), 8); };
    std::string taken;
    std::thread writer([&] { taken = take(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    buffer.clearBuffer();  // nothing queued: the taker waits on
    buffer.putData("new pass", 8);
    writer.join();
    EXPECT_EQ(taken, "new pass");
    buffer.putData("old pass", 8);
    buffer.putData("old pass", 8);
    buffer.clearBuffer();
    buffer.putData("new pass", 8);
    EXPECT_EQ(take(), "new pass");
}
