#include "record/StreamBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::string text(const DataPacket& packet) { return std::string(packet.data.get(), size_t(packet.size)); }

}  // namespace

TEST(StreamBuffer, KeepsOrderBytesAndSizesOfItsOwnCopies) {
    StreamBuffer buffer;
    char block[] = "first block";
    buffer.putData(block, 5);
    std::memcpy(block, "XXXXX", 5);  // the encoder reuses its I/O buffer at once
    buffer.putData("second", 6);
    buffer.putData("", 0);

    DataPacketPtr first = buffer.getData();
    EXPECT_EQ(text(*first), "first");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first->data.get()) % 16, 0u);
    EXPECT_EQ(text(*buffer.getData()), "second");
    EXPECT_EQ(buffer.getData()->size, 0);
    EXPECT_EQ(buffer.queued(), 0u);
}

TEST(StreamBuffer, ThousandsQueuedWhileTheWriterStallsNoneLost) {
    StreamBuffer buffer;
    constexpr int kPackets = 20000;
    for (int i = 0; i < kPackets; ++i) {
        std::string block = std::to_string(i) + std::string(size_t(i % 300), '.');
        buffer.putData(block.data(), int(block.size()));
    }
    EXPECT_EQ(buffer.queued(), size_t(kPackets));
    for (int i = 0; i < kPackets; ++i) {
        DataPacketPtr packet = buffer.getData();
        ASSERT_EQ(text(*packet), std::to_string(i) + std::string(size_t(i % 300), '.'));
    }
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
