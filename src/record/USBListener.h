// The list of USB drives mounted under "/media/", the recording state of
// each, and the one place through which recording is started and stopped on
// a drive. A background thread rescans "/media/" once a second.
#pragma once

#include "platform/CommandRunner.h"

#include <QMutex>

#include <sys/statfs.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class TSWriter;

// One listed drive; the front panel and the web read these under the lock.
struct usbStick {
    int id = -1;          // given in order of appearance, never reused
    int size = 0;         // (total bytes + 500,000,000) / 1,000,000
    int freeSpace = 0;    // available MiB
    std::string path;     // the mount directory ("/media/" + label, through the sandbox root)
    std::string label;    // the entry name under "/media/"
    bool ntfs = false;    // a FUSE file system, as NTFS volumes are mounted
    bool rec = false;     // recording
};

constexpr long kFuseSuperMagic = 0x65735546;

// size and freeSpace from a statfs result, in 64 bits, clamped to the field.
int driveSizeOf(const struct statfs& fs);
int driveFreeSpaceOf(const struct statfs& fs);

class USBListener {
public:
    struct Options {
        std::string mediaPath;                   // with its trailing "/"
        std::shared_ptr<qva::CommandRunner> runner;
        bool watch = true;                       // run the once-a-second scanning thread
        std::chrono::milliseconds period{1000};
        // On the box an entry is a drive only when something is mounted on
        // it; sandboxes and tests use plain folders.
        bool mountPointsOnly = false;
    };
    explicit USBListener(TSWriter* writer);  // the box: "/media/" through the sandbox root
    USBListener(TSWriter* writer, Options options);
    USBListener(const USBListener&) = delete;
    USBListener& operator=(const USBListener&) = delete;
    ~USBListener();  // stops the scanning thread (the box never does)

    int StartRecord(int id);
    int StopRecord(int id);
    int StartALLRecord();
    int StopALLRecord();
    void errorCallBack(int id, const char* message);

    int formatUSB(int id);
    int formatALLUSB();

    // One scanning cycle: read "/media/" without the lock, then merge under it.
    void scanOnce();

    // Handed to the menus and the web, which read the list under the lock.
    std::deque<usbStick>* drives() { return &drives_; }
    QMutex* lock() { return &lock_; }

    struct Probes;  // what each entry's own look at its drive found

private:
    void watchLoop();
    void startFormatting(const usbStick& drive);

    TSWriter* writer_;
    Options options_;
    std::deque<usbStick> drives_;
    QMutex lock_;  // guards drives_ (and every rec flag); taken before the writer's lock
    int nextId_ = 0;          // the scanning thread's alone
    std::shared_ptr<Probes> probes_;  // shared with probe threads a hung drive may keep
    bool mediaMissing_ = false;  // said once until "/media/" opens again
    std::atomic<bool> stopping_{false};
    std::thread watcher_;
};
