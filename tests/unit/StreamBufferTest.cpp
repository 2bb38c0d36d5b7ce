// The buffer's bytes are judged by the writer and encoder tests; here, a clear under a waiting taker.
#include "record/StreamBuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

static std::string take(StreamBuffer& buffer) {
    const DataPacketPtr packet = buffer.getData();
    return std::string(packet->data.get(), size_t(packet->size));
}

TEST(StreamBuffer, WaitingTakerGetsTheFirstPacketPutAfterAClear) {
    StreamBuffer buffer;
    std::string taken;
    std::thread writer([&] { taken = take(buffer); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    buffer.clearBuffer();  // nothing queued: the taker waits on
    buffer.putData("new pass", 8);
    writer.join();
    EXPECT_EQ(taken, "new pass");
    buffer.putData("old pass", 8);
    buffer.clearBuffer();
    buffer.putData("new pass", 8);
    EXPECT_EQ(take(buffer), "new pass");
}
