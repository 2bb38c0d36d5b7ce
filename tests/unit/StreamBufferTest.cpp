#include "record/StreamBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

std::string text(const DataPacket& packet) { return std::string(packet.data.get(), size_t(packet.size)); }
std::string packet(int i) { return std::to_string(i) + std::string(size_t(i % 300), '.'); }

}  // namespace

TEST(StreamBuffer, ThousandsQueuedWhileTheWriterStallsComeOutWholeInOrderAndAClearStartsAfresh) {
    StreamBuffer buffer;
    std::string taken;
    std::thread writer([&] { taken = text(*buffer.getData()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    buffer.clearBuffer();  // a waiting taker goes on waiting, for the new pass
    buffer.putData("after", 5);
    writer.join();
    EXPECT_EQ(taken, "after");

    constexpr int kPackets = 20000;
    char block[400];  // the encoder reuses its I/O buffer at once
    for (int i = 0; i < kPackets; ++i) {
        std::memcpy(block, packet(i).data(), packet(i).size());
        buffer.putData(block, int(packet(i).size()));
    }
    EXPECT_EQ(buffer.queued(), size_t(kPackets));
    for (int i = 0; i < kPackets / 2; ++i) ASSERT_EQ(text(*buffer.getData()), packet(i));
    buffer.clearBuffer();
    buffer.putData("new pass", 8);
    EXPECT_EQ(text(*buffer.getData()), "new pass");
}
