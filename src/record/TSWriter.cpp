#include "record/TSWriter.h"

#include "platform/Files.h"

#include "core/FilePrefix.h"
#include "record/StreamBuffer.h"
#include "record/USBListener.h"

#include <QMutexLocker>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAttempts = 11;          // per block: the file written now and ten further pieces
constexpr int kFileNumbers = 100000;   // names tried before a drive counts as full of them
constexpr uint64_t kMinFreeMiB = 50;
constexpr auto kStopWait = std::chrono::seconds(10);  // for drives to finish when the writer ends

// Longest name a recording can get: prefix-99999.ts_99999.ts.
constexpr size_t kLongestSuffix = sizeof "-99999.ts_99999.ts" - 1;

struct Block {
    std::shared_ptr<const DataPacket> packet;
    Clock::time_point queuedAt;
};

// Opens a name only if it is not there yet: a symlink, FIFO, device, folder
// or file at it counts as taken, and nothing is followed or waited for.
int createNew(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
}

bool syncFolder(const std::string& directory) {
    qva::FileDescriptor folder(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder.get() >= 0 && ::fsync(folder.get()) == 0;
}

}  // namespace

struct TSWriter::Shared {
    std::atomic<USBListener*> listener{nullptr};

    // Held while a drive's failure is reported, so the writer cannot end meanwhile.
    std::mutex ownerLock;
    TSWriter* owner = nullptr;

    std::mutex threadsLock;
    std::condition_variable threadsEnded;
    int running = 0;

    // A drive thread gave up: take its target out and tell the drive manager.
    void failed(uint64_t serial, int id) {
        std::lock_guard guard(ownerLock);
        if (owner == nullptr) return;
        if (!owner->removeSerial(serial)) {
            // Stopped by the drive manager meanwhile: nothing to tell.
            std::fprintf(stderr, "Error removing output with ID: %d\n", id);
            return;
        }
        tell(id);
    }
    void tell(int id) {
        if (USBListener* manager = listener.load()) {
            manager->errorCallBack(id, "Could not write to device");
        } else {
            std::fputs("USBListen == NULL\n", stderr);
        }
        std::fprintf(stderr, "Removed output with ID: %d\n", id);
    }
    void threadEnded() {
        std::lock_guard guard(threadsLock);
        --running;
        threadsEnded.notify_all();
    }
};

class TSWriter::Target {
public:
    Target(int id, uint64_t serial, std::string directory, std::string prefix)
        : id(id), serial(serial), directory(std::move(directory)), prefix(std::move(prefix)) {}

    const int id;
    const uint64_t serial;      // a drive stopped and started again is a new target
    const std::string directory;  // the mount folder and "/"
    const std::string prefix;     // the file prefix when recording started

    bool started = false;  // under the writer's lock: blocks are handed from a random-access point on

    std::mutex lock;  // innermost: taken under the writer's lock, never the other way
    std::condition_variable wake;
    std::deque<Block> queue;
    size_t bytes = 0;
    bool stop = false;     // write what is queued, sync, end
    bool abandon = false;  // dropped: end without writing more
};

namespace {

enum class Attempt { Written, Failed, NoSpace };

// The file a drive's thread writes: the recording's first name, then its
// retry pieces ("_N.ts" after the name), numbered on from the last one used
// so that a later block never lands in an earlier piece.
class DriveFile {
public:
    explicit DriveFile(const TSWriter::Target& target) : target_(target) {}
    DriveFile(const DriveFile&) = delete;
    DriveFile& operator=(const DriveFile&) = delete;
    ~DriveFile() { close(); }

    // The first free name: prefix.ts, then prefix-1.ts, prefix-2.ts, ...
    bool open() {
        struct stat folder {};
        if (::stat(target_.directory.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return false;
        device_ = folder.st_dev;
        for (int n = 0; n < kFileNumbers; ++n) {
            name_ = n == 0 ? target_.prefix + ".ts" : target_.prefix + "-" + std::to_string(n) + ".ts";
            if (create(target_.directory + name_)) return true;
            if (errno != EEXIST) return false;
        }
        return false;
    }

    // One attempt at a whole block. A failed one leaves the file as it was,
    // so that every file holds whole blocks only, and moves on to a new piece.
    Attempt write(const char* data, size_t size) {
        if (!onSameDrive()) {
            std::fprintf(stderr, "Error opening file with id: %d\n", target_.id);
            return Attempt::Failed;
        }
        struct statfs fs {};
        if (::statfs(target_.directory.c_str(), &fs) != 0) return Attempt::Failed;
        if ((uint64_t(fs.f_bavail) * uint64_t(fs.f_frsize) >> 20) <= kMinFreeMiB) return Attempt::NoSpace;
        if (fd_ < 0 && !nextPiece()) {
            std::fprintf(stderr, "Error opening file with id: %d\n", target_.id);
            return Attempt::Failed;
        }
        if (!qva::writeAll(fd_, data, size)) {
            const int error = errno;
            if (::ftruncate(fd_, size_) != 0) {}  // cannot be helped here; the block goes on to the next piece
            std::fprintf(stderr, "Error writing id: %d, returned %d   %s\n", target_.id, 0, path_.c_str());
            std::fprintf(stderr, "%s: %s\n", path_.c_str(), std::strerror(error));
            close();
            return Attempt::Failed;
        }
        size_ += off_t(size);
        return Attempt::Written;
    }

    // Makes what was written durable; false, with the error named, if it is not.
    bool sync() {
        if (fd_ < 0 || ::fdatasync(fd_) == 0) return true;
        std::fprintf(stderr, "Sync failed on %s: %s\n", path_.c_str(), std::strerror(errno));
        return false;
    }

    // The end of the recording on this drive.
    void finish() {
        if (fd_ < 0) return;
        std::fprintf(stderr, "Syncing: %s\n", path_.c_str());
        if (::fsync(fd_) != 0) std::fprintf(stderr, "Sync failed on %s: %s\n", path_.c_str(), std::strerror(errno));
        close();
    }

private:
    bool create(const std::string& path) {
        fd_ = createNew(path);
        if (fd_ < 0) return false;
        path_ = path;
        size_ = 0;
        // The new name itself must survive a power cut too.
        if (!syncFolder(target_.directory)) {
            std::fprintf(stderr, "Sync failed on %s: %s\n", target_.directory.c_str(), std::strerror(errno));
            close();
            errno = EIO;
            return false;
        }
        return true;
    }

    bool nextPiece() {
        while (piece_ < kFileNumbers) {
            ++piece_;
            if (create(target_.directory + name_ + "_" + std::to_string(piece_) + ".ts")) return true;
            if (errno != EEXIST) return false;
        }
        return false;
    }

    // The folder must still be the drive it was when recording started: an
    // unmounted drive leaves its empty mount folder on the box's own disk.
    bool onSameDrive() const {
        struct stat folder {};
        return ::stat(target_.directory.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode) &&
               folder.st_dev == device_;
    }

    void close() {
        if (fd_ >= 0 && ::close(fd_) != 0) std::fputs("Fclose failed", stderr);
        fd_ = -1;
    }

    const TSWriter::Target& target_;
    dev_t device_ = 0;
    std::string name_;  // prefix.ts or prefix-N.ts
    int piece_ = 0;     // the last retry piece tried
    std::string path_;  // the file written now
    int fd_ = -1;
    off_t size_ = 0;
};

bool writeBlock(DriveFile& file, const DataPacket& packet) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        switch (file.write(packet.data.get(), size_t(std::max(packet.size, 0)))) {
            case Attempt::Written: return true;
            case Attempt::NoSpace: std::fputs("break Freesize\n", stderr); return false;
            case Attempt::Failed: break;
        }
    }
    return false;
}

// A drive's thread: writes its queue in order, syncs about once a period,
// and ends when stopped (after the queue), dropped, or failed.
void runDrive(const std::shared_ptr<TSWriter::Target>& target, const std::shared_ptr<TSWriter::Shared>& shared,
              std::chrono::milliseconds syncPeriod) {
    DriveFile file(*target);
    bool ok = file.open();
    if (!ok) std::fprintf(stderr, "Could not start recording on %s\n", target->directory.c_str());
    Clock::time_point nextSync = Clock::now() + syncPeriod;
    while (ok) {
        Block block;
        {
            std::unique_lock guard(target->lock);
            target->wake.wait_until(guard, nextSync,
                                    [&] { return !target->queue.empty() || target->stop || target->abandon; });
            if (target->abandon || (target->stop && target->queue.empty())) break;
            if (!target->queue.empty()) {
                block = std::move(target->queue.front());
                target->queue.pop_front();
                target->bytes -= size_t(std::max(block.packet->size, 0));
            }
        }
        if (block.packet) ok = writeBlock(file, *block.packet);
        if (ok && Clock::now() >= nextSync) {
            ok = file.sync();
            nextSync = Clock::now() + syncPeriod;
        }
    }
    file.finish();
    if (!ok) shared->failed(target->serial, target->id);
}

}  // namespace

TSWriter::TSWriter(StreamBuffer* buffer, const FilePrefix* filePrefix)
    : TSWriter(buffer, filePrefix, Limits{}) {}

TSWriter::TSWriter(StreamBuffer* buffer, const FilePrefix* filePrefix, Limits limits)
    : buffer_(buffer), filePrefix_(filePrefix), limits_(limits), shared_(std::make_shared<Shared>()) {
    shared_->owner = this;
    std::fprintf(stderr, "TSWriter %s\n", filePrefix_->get().c_str());
}

TSWriter::~TSWriter() {
    stopping_.store(true);
    if (distribution_.joinable()) distribution_.join();
    {
        QMutexLocker guard(&lock_);
        for (const std::shared_ptr<Target>& target : targets_) {
            std::lock_guard targetGuard(target->lock);
            target->stop = true;
            target->wake.notify_all();
        }
        targets_.clear();
    }
    {
        std::lock_guard guard(shared_->ownerLock);
        shared_->owner = nullptr;
    }
    // A drive hung in the kernel keeps its thread; it holds only what it shares.
    std::unique_lock guard(shared_->threadsLock);
    shared_->threadsEnded.wait_for(guard, kStopWait, [&] { return shared_->running == 0; });
}

bool TSWriter::AddUSBListener(USBListener* listener) {
    shared_->listener.store(listener);
    if (listener == nullptr) return false;
    std::fputs("USBListen looking good from TSWriter\n", stderr);
    return true;
}

void TSWriter::StartWriter() {
    while (shared_->listener.load() == nullptr) {
        std::fputs("Waiting in TSWriter on USBListener\n", stderr);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (!distribution_.joinable()) distribution_ = std::thread(&TSWriter::writeSyncronizer, this);
    std::fputs("TSWriter done\n", stderr);
}

int TSWriter::AddOutput(const std::string& mountPath, int id) {
    std::string directory = mountPath + "/";
    const std::string prefix = filePrefix_->get();
    if (prefix.size() + kLongestSuffix > NAME_MAX || directory.size() + prefix.size() + kLongestSuffix >= PATH_MAX)
        return -1;

    QMutexLocker guard(&lock_);
    auto target = std::make_shared<Target>(id, nextSerial_++, std::move(directory), prefix);
    {
        std::lock_guard threads(shared_->threadsLock);
        ++shared_->running;
    }
    try {
        std::thread([target, shared = shared_, period = limits_.syncPeriod] {
            runDrive(target, shared, period);
            shared->threadEnded();
        }).detach();
    } catch (const std::system_error&) {
        shared_->threadEnded();
        return -1;
    }
    targets_.push_back(std::move(target));
    return id;
}

bool TSWriter::RemoveOutput(int id) {
    QMutexLocker guard(&lock_);
    const auto found = std::find_if(targets_.begin(), targets_.end(),
                                    [id](const std::shared_ptr<Target>& target) { return target->id == id; });
    if (found == targets_.end()) return false;
    {
        std::lock_guard targetGuard((*found)->lock);
        (*found)->stop = true;
        (*found)->wake.notify_all();
    }
    targets_.erase(found);
    return true;
}

bool TSWriter::removeSerial(uint64_t serial) {
    QMutexLocker guard(&lock_);
    const auto found = std::find_if(targets_.begin(), targets_.end(), [serial](const std::shared_ptr<Target>& target) {
        return target->serial == serial;
    });
    if (found == targets_.end()) return false;
    targets_.erase(found);
    return true;
}

size_t TSWriter::outputCount() const {
    QMutexLocker guard(&lock_);
    return targets_.size();
}

size_t TSWriter::queuedBytes(int id) const {
    QMutexLocker guard(&lock_);
    size_t total = 0;
    for (const std::shared_ptr<Target>& target : targets_) {
        if (id >= 0 && target->id != id) continue;
        std::lock_guard targetGuard(target->lock);
        total += target->bytes;
    }
    return total;
}

void TSWriter::distribute(const std::shared_ptr<const DataPacket>& packet) {
    const size_t size = size_t(std::max(packet->size, 0));
    const Clock::time_point now = Clock::now();
    std::vector<std::shared_ptr<Target>> overflowed;
    {
        QMutexLocker guard(&lock_);
        for (const std::shared_ptr<Target>& target : targets_) {
            // A new file begins where a player can start: PAT, PMT, keyframe.
            if (!target->started && !packet->randomAccess) continue;
            target->started = true;
            std::lock_guard targetGuard(target->lock);
            target->queue.push_back({packet, now});
            target->bytes += size;
            target->wake.notify_all();
            if (target->bytes > limits_.queueBytes &&
                (now - target->queue.front().queuedAt > limits_.queueAge || target->bytes > limits_.queueCeiling)) {
                std::fprintf(stderr, "Drive with ID %d too slow: %zu bytes waiting\n", target->id, target->bytes);
                target->queue.clear();  // its memory goes now, even if its thread is stuck
                target->bytes = 0;
                target->abandon = true;
                overflowed.push_back(target);
            }
        }
        for (const std::shared_ptr<Target>& target : overflowed)
            targets_.erase(std::find(targets_.begin(), targets_.end(), target));
    }
    for (const std::shared_ptr<Target>& target : overflowed) shared_->tell(target->id);
}

void TSWriter::writeSyncronizer() {
    std::fputs("Write sync started OK\n", stderr);
    while (!stopping_.load()) {
        try {
            DataPacketPtr packet = buffer_->getData(&stopping_);
            if (!packet) break;
            // Shared by every drive's queue, never copied per drive.
            distribute(std::shared_ptr<const DataPacket>(std::move(packet)));
        } catch (...) {
            // Only memory can run out here; the stream goes on with the next packet.
        }
    }
}
