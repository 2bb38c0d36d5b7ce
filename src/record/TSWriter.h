// Writes the one transport stream of the stream buffer to every recording
// drive at once, one file per drive. Every drive has a thread and a bounded
// queue of its own: the distribution thread hands each stream block to every
// drive's queue by reference and never waits for a drive, so a slow, stalled
// or failing drive holds back nothing but itself. A drive that cannot be
// written, or whose backlog passes its bound, is dropped and the drive
// manager told.
#pragma once

#include <QMutex>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class FilePrefix;
class StreamBuffer;
class USBListener;
struct DataPacket;

class TSWriter {
public:
    struct Limits {
        // A drive's backlog is over its bound once it holds more than
        // queueBytes and its oldest block has waited longer than queueAge:
        // the larger of the two bounds holds.
        size_t queueBytes = size_t(64) << 20;
        std::chrono::milliseconds queueAge{20000};
        // Whatever the stream's rate, no drive holds more than this.
        size_t queueCeiling = size_t(256) << 20;
        // How often each drive's file is made durable (fdatasync).
        std::chrono::milliseconds syncPeriod{1000};
    };

    TSWriter(StreamBuffer* buffer, const FilePrefix* filePrefix);
    TSWriter(StreamBuffer* buffer, const FilePrefix* filePrefix, Limits limits);
    TSWriter(const TSWriter&) = delete;
    TSWriter& operator=(const TSWriter&) = delete;
    // Stops the distribution thread and lets every drive finish its queue;
    // waits a bounded time for drives that do not (the box never does this).
    ~TSWriter();

    bool AddUSBListener(USBListener* listener);
    // Waits until a drive manager is registered, then starts the distribution thread.
    void StartWriter();

    // Starts recording to the drive mounted at mountPath, as drive id, from the
    // next stream block where a file may begin. Touches nothing on the drive:
    // its own thread finds the first free file name and creates the file, and
    // a failure there reaches the drive manager's error call-back. Returns id,
    // or -1 when no file name could be formed for the folder.
    int AddOutput(const std::string& mountPath, int id);
    // Ends recording to drive id: its thread writes what is queued, syncs the
    // file and closes it. False if no drive has the id.
    bool RemoveOutput(int id);

    size_t outputCount() const;
    size_t queuedBytes(int id = -1) const;  // drive id's backlog, or all drives' together

    class Target;  // one drive's recording: its queue, its thread's file
    struct Shared;

private:
    void writeSyncronizer();
    void distribute(const std::shared_ptr<const DataPacket>& packet);
    bool removeSerial(uint64_t serial);  // the target itself, not a newer one of its drive

    StreamBuffer* buffer_;
    const FilePrefix* filePrefix_;
    const Limits limits_;
    std::shared_ptr<Shared> shared_;  // kept by the drive threads, which may outlive us

    mutable QMutex lock_;  // guards targets_ and nextSerial_; taken after the drive list's
    std::vector<std::shared_ptr<Target>> targets_;
    uint64_t nextSerial_ = 1;

    std::atomic<bool> stopping_{false};
    std::thread distribution_;
};
