// The startup file as the box keeps it: the capture settings the card last
// accepted, with the other settings as they are now. A capture setting is
// stored only once a capture pass has enabled the card with it, so a mode the
// card refuses never outlives the process that chose it, and a power cut
// between the card's answer and the write leaves a mode that worked.
#pragma once

#include "core/DeviceState.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

class StartupStore {
public:
    // accepted: the capture settings the file holds now (read at start).
    StartupStore(std::string path, const CaptureSettings& accepted);
    StartupStore(const StartupStore&) = delete;
    StartupStore& operator=(const StartupStore&) = delete;

    // The card runs with capture: from now on it is what the file keeps,
    // written at once when it differs from what the file holds.
    bool accept(const CaptureSettings& capture, const DeviceState& state);

    // Rewrites the file with the accepted capture settings and the other
    // settings of state as they are when the write begins. False when it
    // could not be written (the old file stays).
    bool save(const DeviceState& state);

    CaptureSettings accepted() const;
    bool unsaved() const { return unsaved_.load(std::memory_order_relaxed); }  // the last write failed
    const std::string& path() const { return path_; }

private:
    const std::string path_;
    mutable std::mutex lock_;  // a leaf: held for no I/O and no other lock
    std::condition_variable writeDone_;
    CaptureSettings accepted_;
    // One write at a time, the lock released while it runs: a write covers
    // every request made before it began, since it reads the settings then.
    bool writing_ = false;
    uint64_t requested_ = 0;
    uint64_t covered_ = 0;
    bool lastWritten_ = true;
    std::atomic<bool> unsaved_{false};
};
