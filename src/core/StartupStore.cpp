#include "core/StartupStore.h"

#include "core/StartupConfig.h"

StartupStore::StartupStore(std::string path, const CaptureSettings& accepted)
    : path_(std::move(path)), accepted_(accepted) {}

bool StartupStore::accept(const CaptureSettings& capture, const DeviceState& state) {
    {
        std::lock_guard guard(lock_);
        if (capture == accepted_) return true;
        accepted_ = capture;
    }
    return save(state);
}

bool StartupStore::save(const DeviceState& state) {
    std::unique_lock guard(lock_);
    const uint64_t request = ++requested_;
    while (covered_ < request) {
        if (writing_) {
            writeDone_.wait(guard);
            continue;
        }
        writing_ = true;
        const uint64_t covers = requested_;
        const StartupRecord record = startupRecordOf(accepted_, state);
        guard.unlock();
        const bool written = writeStartupConfig(path_, record);
        guard.lock();
        writing_ = false;
        covered_ = covers;
        lastWritten_ = written;
        unsaved_.store(!written, std::memory_order_relaxed);
        writeDone_.notify_all();
    }
    return lastWritten_;
}

CaptureSettings StartupStore::accepted() const {
    std::lock_guard guard(lock_);
    return accepted_;
}
