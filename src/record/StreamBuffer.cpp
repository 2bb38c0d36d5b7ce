#include "record/StreamBuffer.h"

#include <QMutexLocker>

#include <chrono>
#include <cstdio>
#include <thread>

StreamBuffer::~StreamBuffer() {
    std::fputs("Destroying StreamBuffer\n", stderr);
}

void StreamBuffer::putData(const char* data, int size, bool randomAccess) {
    if (size < 0) return;
    auto packet = std::make_unique<DataPacket>();
    packet->data = qva::alignedCopy<char>(data, size_t(size));
    if (!packet->data) {
        std::fputs("Error mallocing packet buffer in put data in streambuffer!!!\n", stderr);
        return;
    }
    packet->size = size;
    packet->randomAccess = randomAccess;
    QMutexLocker guard(&lock_);
    queue_.push_back(std::move(packet));
}

DataPacketPtr StreamBuffer::getData(const std::atomic<bool>* giveUp) {
    for (;;) {
        {
            QMutexLocker guard(&lock_);
            if (!queue_.empty()) {
                DataPacketPtr packet = std::move(queue_.front());
                queue_.pop_front();
                return packet;
            }
        }
        if (giveUp != nullptr && giveUp->load(std::memory_order_relaxed)) return nullptr;
        std::this_thread::sleep_for(std::chrono::microseconds(5000));
    }
}

void StreamBuffer::clearBuffer() {
    std::deque<DataPacketPtr> dropped;  // released after the lock
    QMutexLocker guard(&lock_);
    dropped.swap(queue_);
}

size_t StreamBuffer::queued() const {
    QMutexLocker guard(&lock_);
    return queue_.size();
}
