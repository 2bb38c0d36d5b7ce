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
#include <chrono>
#include <cstdio>
#include <optional>
#include <system_error>
#include <vector>

namespace {

constexpr int kMaxRetries = 10;         // eleven attempts per packet and target
constexpr int kFileNumbers = 100000;    // numbers tried before a drive counts as full of names
constexpr uint64_t kMinFreeMiB = 50;

using Outputs = std::deque<std::unique_ptr<TSOutput>>;


// Joins whatever write threads are still running, also when the packet's
// round is left early, since they use the round's copies and bytes.
class WriteThreads {
public:
    explicit WriteThreads(size_t count) : threads_(count) {}
    WriteThreads(const WriteThreads&) = delete;
    WriteThreads& operator=(const WriteThreads&) = delete;
    ~WriteThreads() {
        for (std::thread& thread : threads_) join(thread);
    }
    std::thread& operator[](size_t i) { return threads_[i]; }
    static void join(std::thread& thread) {
        if (thread.joinable()) thread.join();
    }

private:
    std::vector<std::thread> threads_;
};

// The folder must still be the drive it was when recording started: an
// unmounted drive leaves its empty mount folder on the box's own disk.
bool onSameDrive(const TSOutput& output) {
    struct stat folder {};
    return ::stat(output.directory.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode) &&
           folder.st_dev == output.device;
}

enum class Attempt { Written, Failed, NoSpace };

// One attempt on output.path. A failed attempt leaves the file as it was
// before it, so that every file holds only whole packets.
Attempt attemptWrite(const TSOutput& output, const char* data, size_t size,
                     std::optional<uint64_t>& freeMiB) {
    if (!onSameDrive(output)) {
        std::fprintf(stderr, "Error opening file with id: %d\n", output.id);
        return Attempt::Failed;
    }
    if (!freeMiB) {
        struct statfs fs {};
        if (::statfs(output.directory.c_str(), &fs) != 0) return Attempt::Failed;
        freeMiB = (uint64_t(fs.f_bavail) * uint64_t(fs.f_frsize)) >> 20;
    }
    if (*freeMiB <= kMinFreeMiB) return Attempt::NoSpace;

    qva::FileDescriptor file(
        ::open(output.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    struct stat before {};
    if (file.get() < 0 || ::fstat(file.get(), &before) != 0) {
        std::fprintf(stderr, "Error opening file with id: %d\n", output.id);
        return Attempt::Failed;
    }
    // A truncation that fails cannot be helped here; the packet goes on to the next name.
    const bool written = qva::writeAll(file.get(), data, size);
    if (!written && ::ftruncate(file.get(), before.st_size) != 0) {}
    const bool closed = file.close();
    if (!closed) {
        std::fputs("Fclose failed", stderr);
        if (written && ::truncate(output.path.c_str(), before.st_size) != 0) {}
    }
    if (!written) {
        std::fprintf(stderr, "Error writing id: %d, returned %d   %s\n", output.id, 0,
                     output.path.c_str());
    }
    return written && closed ? Attempt::Written : Attempt::Failed;
}

bool runJob(TSOutput& output, const char* data, int size) {
    try {
        return writePacket(output, data, size);
    } catch (...) {
        return false;
    }
}

template <typename Match>
std::optional<std::string> takeOut(QMutex& lock, Outputs& outputs, Match match) {
    QMutexLocker guard(&lock);
    const auto found = std::find_if(outputs.begin(), outputs.end(),
                                    [&](const std::unique_ptr<TSOutput>& output) { return match(*output); });
    if (found == outputs.end()) return std::nullopt;
    std::string path = std::move((*found)->path);
    outputs.erase(found);
    return path;
}

void startSync(std::string path) {
    try {
        std::thread(SyncUSB, path).detach();
    } catch (const std::system_error&) {
        SyncUSB(std::move(path));  // no thread to be had: slower, but the file still gets flushed
    }
}

}  // namespace

TSWriter::TSWriter(StreamBuffer* buffer, const FilePrefix* filePrefix)
    : buffer_(buffer), filePrefix_(filePrefix) {
    std::fprintf(stderr, "TSWriter %s\n", filePrefix_->get().c_str());
}

TSWriter::~TSWriter() {
    stopping_.store(true);
    if (distribution_.joinable()) distribution_.join();
}

bool TSWriter::AddUSBListener(USBListener* listener) {
    usbListener_.store(listener);
    if (listener == nullptr) return false;
    std::fputs("USBListen looking good from TSWriter\n", stderr);
    return true;
}

void TSWriter::StartWriter() {
    while (usbListener_.load() == nullptr) {
        std::fputs("Waiting in TSWriter on USBListener\n", stderr);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (!distribution_.joinable()) distribution_ = std::thread(&TSWriter::writeSyncronizer, this);
    std::fputs("TSWriter done\n", stderr);
}

int TSWriter::AddOutput(const std::string& mountPath, int id) {
    auto output = std::make_unique<TSOutput>();
    output->directory = mountPath + "/";
    struct stat folder {};
    if (::stat(output->directory.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return -1;
    output->device = folder.st_dev;

    // The drive is asked without the writer's lock, so that a slow or hung
    // drive never holds up the writes to the others. Callers start drives
    // one at a time under the drive-list lock.
    const std::string prefix = filePrefix_->get();
    for (int n = 0; n < kFileNumbers && output->path.empty(); ++n) {
        std::string name = n == 0 ? prefix + ".ts" : prefix + "-" + std::to_string(n) + ".ts";
        if (name.size() > NAME_MAX || output->directory.size() + name.size() >= PATH_MAX) return -1;
        std::string candidate = output->directory + name;
        // lstat: a file that exists but cannot be read, or a dangling link,
        // is still taken.
        struct stat existing {};
        if (::lstat(candidate.c_str(), &existing) == 0) continue;
        if (errno != ENOENT) return -1;
        output->fileNumber = n;
        output->fileName = std::move(name);
        output->path = std::move(candidate);
    }
    if (output->path.empty()) return -1;
    output->id = id;

    QMutexLocker guard(&lock_);
    output->serial = nextSerial_++;
    outputs_.push_back(std::move(output));
    return id;
}

bool TSWriter::RemoveOutput(int id) {
    std::optional<std::string> path =
        takeOut(lock_, outputs_, [id](const TSOutput& output) { return output.id == id; });
    if (!path) return false;
    startSync(std::move(*path));
    return true;
}

bool TSWriter::removeSerial(uint64_t serial) {
    std::optional<std::string> path = takeOut(
        lock_, outputs_, [serial](const TSOutput& output) { return output.serial == serial; });
    if (!path) return false;
    startSync(std::move(*path));
    return true;
}

size_t TSWriter::outputCount() const {
    QMutexLocker guard(&lock_);
    return outputs_.size();
}

void TSWriter::writeSyncronizer() {
    std::fputs("Write sync started OK\n", stderr);
    while (!stopping_.load()) {
        try {
            // The targets for the coming packet are fixed before it is awaited.
            std::vector<TSOutput> targets;
            {
                QMutexLocker guard(&lock_);
                targets.reserve(outputs_.size());
                for (const std::unique_ptr<TSOutput>& output : outputs_) targets.push_back(*output);
            }
            DataPacketPtr packet = buffer_->getData(&stopping_);
            if (!packet) break;
            if (targets.empty()) continue;  // the stream is consumed whether or not anything records

            std::vector<char> written(targets.size(), 0);
            WriteThreads workers(targets.size());
            for (size_t i = 0; i < targets.size(); ++i) {
                auto job = [&, i] { written[i] = runJob(targets[i], packet->data.get(), packet->size); };
                try {
                    workers[i] = std::thread(job);
                } catch (const std::system_error&) {
                    job();
                }
            }

            for (size_t i = 0; i < targets.size(); ++i) {
                WriteThreads::join(workers[i]);
                const TSOutput& copy = targets[i];
                {
                    // By serial: a drive stopped and started again meanwhile is
                    // a new target with a new file.
                    QMutexLocker guard(&lock_);
                    for (const std::unique_ptr<TSOutput>& output : outputs_) {
                        if (output->serial == copy.serial && output->path != copy.path) {
                            output->path = copy.path;
                        }
                    }
                }
                if (written[i]) continue;
                if (!removeSerial(copy.serial)) {
                    std::fprintf(stderr, "Error removing output with ID: %d\n", copy.id);
                    continue;
                }
                if (USBListener* listener = usbListener_.load()) {
                    listener->errorCallBack(copy.id, "Could not write to device");
                } else {
                    std::fputs("USBListen == NULL\n", stderr);
                }
                std::fprintf(stderr, "Removed output with ID: %d\n", copy.id);
            }
        } catch (...) {
            // Only memory can run out here; the stream goes on with the next packet.
        }
    }
}

bool writePacket(TSOutput& output, const char* data, int size) {
    const size_t bytes = size > 0 ? size_t(size) : 0;
    std::optional<uint64_t> freeMiB;  // asked once per packet, again only after a failed query
    while (output.retryCount <= kMaxRetries) {
        try {
            const Attempt result = attemptWrite(output, data, bytes, freeMiB);
            if (result == Attempt::Written) return true;
            if (result == Attempt::NoSpace) {
                std::fputs("break Freesize\n", stderr);
                return false;
            }
        } catch (...) {
            std::fprintf(stderr, "Exception error writing id: %d\n", output.id);
        }
        if (++output.retryCount <= kMaxRetries) {
            output.path = output.directory + output.fileName + "_" +
                          std::to_string(output.retryCount) + ".ts";
        }
    }
    return false;
}

void SyncUSB(std::string path) {
    // No O_CREAT: a file that is gone stays gone. O_NONBLOCK keeps a special
    // file without a reader from holding the thread for ever.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        std::fputs("Error syncing file\n", stderr);
        return;
    }
    std::fprintf(stderr, "Syncing: %s\n", path.c_str());
    ::fsync(fd);
    ::close(fd);
}
