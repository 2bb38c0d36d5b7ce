#include "record/StreamBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

std::string text(const DataPacket& packet) { return std::string(packet.data.get(), size_t(packet.size)); }

}  // namespace

TEST(StreamBuffer, ThousandsQueuedWhileTheWriterStallsNoneLostEachItsOwnCopy) {
    StreamBuffer buffer;
    constexpr int kPackets = 20000;
    char block[400];  // the encoder reuses its I/O buffer at once
    for (int i = 0; i < kPackets; ++i) {
        const std::string packet = std::to_string(i) + std::string(size_t(i % 300), '.');
        std::memcpy(block, packet.data(), packet.size());
        buffer.putData(block, int(packet.size()));
    }
    EXPECT_EQ(buffer.queued(), size_t(kPackets));
    for (int i = 0; i < kPackets; ++i)
        ASSERT_EQ(text(*buffer.getData()), std::to_string(i) + std::string(size_t(i % 300), '.'));
}

TEST(StreamBuffer, WaitingTakerGetsTheFirstPacketPutAfterAClear) {
    StreamBuffer buffer;
    buffer.clearBuffer();  // empty: nothing happens
    std::string taken;
    std::thread writer([&] { taken = text(*buffer.getData()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    buffer.clearBuffer();
    buffer.putData("after", 5);
    writer.join();
    EXPECT_EQ(taken, "after");

    buffer.putData("old pass", 8);
    buffer.putData("old pass", 8);
    buffer.clearBuffer();
    buffer.putData("new pass", 8);
    EXPECT_EQ(text(*buffer.getData()), "new pass");
}
