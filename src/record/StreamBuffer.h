// The hand-over between the encoder's muxer output and the writer: an
// unbounded first-in-first-out queue of transport-stream blocks. The encoder
// is never slowed down or refused by it.
#pragma once

#include "platform/AlignedBuffer.h"

#include <QMutex>

#include <atomic>
#include <deque>
#include <memory>

struct DataPacket {
    qva::AlignedBuffer<char> data;  // 16-byte aligned copy
    int size = 0;
    // Starts with PAT and PMT before a keyframe: a file may begin here.
    bool randomAccess = true;
};

using DataPacketPtr = std::unique_ptr<DataPacket>;

class StreamBuffer {
public:
    StreamBuffer() = default;
    StreamBuffer(const StreamBuffer&) = delete;
    StreamBuffer& operator=(const StreamBuffer&) = delete;
    ~StreamBuffer();

    // Queues a copy of size bytes; the caller keeps its own bytes. A block that
    // cannot be allocated is reported and nothing is queued.
    void putData(const char* data, int size, bool randomAccess = true);

    // The oldest packet, waiting (polling every 5 ms) until there is one.
    // With giveUp, the wait also ends, with null, once *giveUp is true.
    DataPacketPtr getData(const std::atomic<bool>* giveUp = nullptr);

    // Discards every queued packet.
    void clearBuffer();

    size_t queued() const;

private:
    mutable QMutex lock_;
    std::deque<DataPacketPtr> queue_;
};
