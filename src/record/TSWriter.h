// Writes the one transport stream of the stream buffer to every recording
// drive at once: one target (file) per drive, one write thread per target and
// packet. A target that cannot be written is dropped and the drive manager
// told; a dropped or stopped target's file is flushed by a detached sync.
#pragma once

#include <QMutex>

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>

class FilePrefix;
class StreamBuffer;
class USBListener;

// One recording target.
struct TSOutput {
    int id = -1;             // the drive's id
    uint64_t serial = 0;     // this target's own number: a drive stopped and started
                             // again gets a new target that old jobs never match
    std::string path;        // the file written now
    int fileNumber = 0;      // 0: no number
    int retryCount = 0;
    std::string directory;   // the drive's mount directory and "/"
    std::string fileName;    // prefix.ts or prefix-N.ts
    dev_t device = 0;        // of the directory when the target was added
};

class TSWriter {
public:
    TSWriter(StreamBuffer* buffer, const FilePrefix* filePrefix);
    TSWriter(const TSWriter&) = delete;
    TSWriter& operator=(const TSWriter&) = delete;
    ~TSWriter();  // stops and joins the distribution thread (the box never does)

    bool AddUSBListener(USBListener* listener);
    // Waits until a drive manager is registered, then starts the distribution thread.
    void StartWriter();

    // A target for the drive mounted at mountPath, in the first free file name.
    // Returns id, or -1 when no file name can be formed there.
    int AddOutput(const std::string& mountPath, int id);
    // Removes the target of drive id and syncs its file; false if none has the id.
    bool RemoveOutput(int id);

    size_t outputCount() const;

private:
    void writeSyncronizer();
    bool removeSerial(uint64_t serial);  // the failed target itself, not a newer one

    StreamBuffer* buffer_;
    const FilePrefix* filePrefix_;
    std::atomic<USBListener*> usbListener_{nullptr};

    mutable QMutex lock_;  // guards outputs_ and nextSerial_
    std::deque<std::unique_ptr<TSOutput>> outputs_;
    uint64_t nextSerial_ = 1;

    std::atomic<bool> stopping_{false};
    std::thread distribution_;
};

// One attempt series for one packet on one target (a private copy of it):
// the free-space check, then up to eleven attempts on path and the "_N.ts"
// names. Returns whether the packet was written; output.path carries where.
bool writePacket(TSOutput& output, const char* data, int size);

// Flushes a finished file to its medium (on a detached thread).
void SyncUSB(std::string path);
