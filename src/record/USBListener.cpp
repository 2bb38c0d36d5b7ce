#include "record/USBListener.h"

#include "platform/SandboxRoot.h"
#include "record/TSWriter.h"

#include <QMutexLocker>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace {

constexpr uint64_t kFieldMax = INT32_MAX;

int clampToField(uint64_t value) { return value > kFieldMax ? INT32_MAX : static_cast<int>(value); }

// Saturates instead of wrapping: a file system that reports absurd figures
// still shows as "very large", never as small or negative.
uint64_t bytesOf(uint64_t count, long unit) {
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(count, static_cast<uint64_t>(unit), &bytes)) return UINT64_MAX;
    return bytes;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// How long a scan waits for its drives to answer: a hung one is left to its
// probe and the scan goes on without it.
constexpr auto kProbeWait = std::chrono::milliseconds(500);

}  // namespace

// One look at one "/media" entry, on a thread of its own: lstat, statfs.
struct USBListener::Probes {
    struct Result {
        bool done = false;
        bool drive = false;
        usbStick figures;
    };
    std::mutex lock;
    std::condition_variable answered;
    std::map<std::string, std::shared_ptr<Result>> running;  // by path; one at a time per entry

    static void look(const std::shared_ptr<Probes>& probes, std::shared_ptr<Result> result, std::string path,
                     dev_t mediaDevice, bool mountPointsOnly) {
        usbStick figures;
        struct stat entry {};
        // A link is never a drive, whatever it points at; on the box neither
        // is a folder on the box's own disk, such as an unmounted drive's.
        bool drive = ::lstat(path.c_str(), &entry) == 0 && S_ISDIR(entry.st_mode) &&
                     (!mountPointsOnly || entry.st_dev != mediaDevice);
        struct statfs fs {};
        if (drive && ::statfs(path.c_str(), &fs) == 0) {
            figures.size = driveSizeOf(fs);
            figures.freeSpace = driveFreeSpaceOf(fs);
            figures.ntfs = (static_cast<long>(fs.f_type) == kFuseSuperMagic);
        }
        std::lock_guard guard(probes->lock);
        result->done = true;
        result->drive = drive;
        result->figures = figures;
        probes->answered.notify_all();
    }
};

int driveSizeOf(const struct statfs& fs) {
    uint64_t bytes = bytesOf(fs.f_blocks, fs.f_frsize);
    uint64_t rounded = 0;
    if (__builtin_add_overflow(bytes, uint64_t{500000000}, &rounded)) return INT32_MAX;
    return clampToField(rounded / 1000000);
}

int driveFreeSpaceOf(const struct statfs& fs) {
    return clampToField(bytesOf(fs.f_bavail, fs.f_frsize) >> 20);
}

USBListener::USBListener(TSWriter* writer)
    : USBListener(writer, Options{qva::resolvePath("/media/"), std::make_shared<qva::CommandRunner>(),
                                  true, std::chrono::milliseconds(1000), qva::sandboxRoot().empty()}) {}

USBListener::USBListener(TSWriter* writer, Options options)
    : writer_(writer), options_(std::move(options)), probes_(std::make_shared<Probes>()) {
    if (!options_.mediaPath.empty() && options_.mediaPath.back() != '/') options_.mediaPath += '/';
    if (!options_.runner) options_.runner = std::make_shared<qva::CommandRunner>();
    if (writer_ == nullptr || !writer_->AddUSBListener(this)) {
        std::fputs("Error assigning USBListener to TSWriter\n", stderr);
    }
    if (options_.watch) watcher_ = std::thread(&USBListener::watchLoop, this);
}

USBListener::~USBListener() {
    stopping_ = true;
    if (watcher_.joinable()) watcher_.join();
}

void USBListener::watchLoop() {
    using namespace std::chrono;
    // Short sleep steps so that the destructor never waits a whole period.
    const milliseconds period = std::max(options_.period, milliseconds(1));
    const milliseconds step = std::min(period, milliseconds(50));
    while (!stopping_) {
        scanOnce();
        const auto deadline = steady_clock::now() + period;
        for (auto now = steady_clock::now(); !stopping_ && now < deadline; now = steady_clock::now()) {
            std::this_thread::sleep_for(std::min<steady_clock::duration>(step, deadline - now));
        }
    }
}

void USBListener::scanOnce() {
    // Reading the directory and querying the file systems happen without the
    // lock: one hung drive must not freeze the panel, the web and the writer.
    std::vector<std::string> names;
    int readError = 0;
    {
        std::unique_ptr<DIR, DirCloser> dir(::opendir(options_.mediaPath.c_str()));
        if (!dir) {
            readError = errno;
        } else {
            for (;;) {
                errno = 0;
                const dirent* entry = ::readdir(dir.get());
                if (entry == nullptr) {
                    readError = errno;  // 0 at the end of the directory
                    break;
                }
                if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
            }
        }
    }
    if (readError != 0) {
        // A half-read or unreadable folder says nothing about which drives
        // are gone, so the list stays as it is.
        QMutexLocker guard(&lock_);
        if (!mediaMissing_) {
            std::fprintf(stderr, "Cannot read %s: %s\n", options_.mediaPath.c_str(), std::strerror(readError));
            mediaMissing_ = true;
        }
        return;
    }

    // Every entry is looked at on its own thread; an entry whose drive does
    // not answer in time keeps its listing as it was, or waits to be listed.
    struct stat media {};
    const dev_t mediaDevice = ::stat(options_.mediaPath.c_str(), &media) == 0 ? media.st_dev : 0;
    std::vector<std::pair<std::string, std::shared_ptr<Probes::Result>>> looks;
    {
        std::lock_guard guard(probes_->lock);
        for (std::string& name : names) {
            std::string path = options_.mediaPath + name;
            std::shared_ptr<Probes::Result>& result = probes_->running[path];
            if (!result) {
                result = std::make_shared<Probes::Result>();
                try {
                    std::thread(Probes::look, probes_, result, path, mediaDevice, options_.mountPointsOnly).detach();
                } catch (const std::system_error&) {
                    probes_->running.erase(path);
                    continue;
                }
            }
            looks.emplace_back(std::move(name), result);
        }
    }
    std::vector<usbStick> scanned;
    {
        std::unique_lock guard(probes_->lock);
        probes_->answered.wait_for(guard, kProbeWait, [&] {
            return std::all_of(looks.begin(), looks.end(), [](const auto& look) { return look.second->done; });
        });
        for (auto& [name, result] : looks) {
            usbStick drive;
            drive.path = options_.mediaPath + name;
            drive.label = name;
            if (!result->done) {
                drive.size = -1;  // still looking: listed as it was, or not yet
            } else {
                probes_->running.erase(drive.path);
                if (!result->drive) continue;
                drive.size = result->figures.size;
                drive.freeSpace = result->figures.freeSpace;
                drive.ntfs = result->figures.ntfs;
            }
            scanned.push_back(std::move(drive));
        }
        // Answers about entries that have gone meanwhile are of no more use.
        std::erase_if(probes_->running, [&](const auto& probe) {
            return probe.second->done && std::none_of(looks.begin(), looks.end(), [&](const auto& look) {
                       return options_.mediaPath + look.first == probe.first;
                   });
        });
    }

    QMutexLocker guard(&lock_);
    mediaMissing_ = false;
    // An entry still being looked at stays as it is if listed, and is not listed yet otherwise.
    scanned.erase(std::remove_if(scanned.begin(), scanned.end(),
                                 [&](const usbStick& entry) {
                                     return entry.size < 0 &&
                                            std::none_of(drives_.begin(), drives_.end(),
                                                         [&](const usbStick& d) { return d.path == entry.path; });
                                 }),
                  scanned.end());
    const size_t known = drives_.size();
    if (known < scanned.size()) {
        for (usbStick& entry : scanned) {
            // Only the drives listed before this cycle: appended ones are new.
            const auto listedEnd = drives_.begin() + static_cast<std::ptrdiff_t>(known);
            auto match = std::find_if(drives_.begin(), listedEnd,
                                      [&](const usbStick& d) { return d.path == entry.path; });
            if (match != listedEnd) {
                if (entry.size >= 0) match->size = entry.size, match->freeSpace = entry.freeSpace;
                continue;
            }
            entry.id = nextId_++;
            entry.rec = false;
            std::fprintf(stderr, "Lägger till dir: %s med id: %d\n", entry.path.c_str(), entry.id);
            drives_.push_back(std::move(entry));
        }
        return;
    }
    if (scanned.empty()) {
        drives_.clear();
        return;
    }
    for (auto it = drives_.begin(); it != drives_.end();) {
        auto match = std::find_if(scanned.begin(), scanned.end(),
                                  [&](const usbStick& s) { return s.path == it->path; });
        if (match != scanned.end()) {
            if (match->size >= 0) {
                it->size = match->size;
                it->freeSpace = match->freeSpace;
                it->ntfs = match->ntfs;
            }
            ++it;
        } else {
            std::fprintf(stderr, "Tar bort dir: %s\n", it->path.c_str());
            it = drives_.erase(it);
        }
    }
}

int USBListener::StartRecord(int id) {
    QMutexLocker guard(&lock_);
    auto drive = std::find_if(drives_.begin(), drives_.end(), [id](const usbStick& d) { return d.id == id; });
    if (drive == drives_.end()) return 1;
    // The writer's lock is taken inside AddOutput, always after ours.
    if (drive->rec || writer_ == nullptr || writer_->AddOutput(drive->path, id) < 0) {
        std::fprintf(stderr, "Could not start recording on %s\n", drive->path.c_str());
        return 1;
    }
    std::fprintf(stderr, "Successfully started recording on %s    %d  \n", drive->path.c_str(),
                 drive->ntfs ? 1 : 0);
    drive->rec = true;
    return 0;
}

int USBListener::StopRecord(int id) {
    QMutexLocker guard(&lock_);
    auto drive = std::find_if(drives_.begin(), drives_.end(), [id](const usbStick& d) { return d.id == id; });
    const bool listed = drive != drives_.end();
    if (listed && !drive->rec) return 0;
    // An unlisted id still goes to the writer: a drive pulled while recording
    // keeps its target there until stopped or failed.
    if (writer_ == nullptr || !writer_->RemoveOutput(id)) {
        if (listed) std::fprintf(stderr, "Could not stop recording on %s\n", drive->path.c_str());
        return 1;
    }
    if (listed) {
        std::fprintf(stderr, "Successfully stopped recording on %s\n", drive->path.c_str());
        drive->rec = false;
    }
    return 0;
}

namespace {

std::vector<int> idsOf(const std::deque<usbStick>& drives) {
    std::vector<int> ids;
    ids.reserve(drives.size());
    for (const usbStick& drive : drives) ids.push_back(drive.id);
    return ids;
}

}  // namespace

// The ids are taken first because StartRecord/StopRecord lock by themselves
// and the scan may change the list between two calls.
int USBListener::StartALLRecord() {
    std::vector<int> ids;
    {
        QMutexLocker guard(&lock_);
        ids = idsOf(drives_);
    }
    for (int id : ids) {
        if (StartRecord(id) != 0) return 1;
    }
    return 0;
}

int USBListener::StopALLRecord() {
    std::vector<int> ids;
    {
        QMutexLocker guard(&lock_);
        ids = idsOf(drives_);
    }
    for (int id : ids) {
        if (StopRecord(id) != 0) return 1;
    }
    return 0;
}

void USBListener::errorCallBack(int id, const char* message) {
    std::fprintf(stderr, "Trying to set rec=false in USBListener callback, ID in callback: %d\n", id);
    QMutexLocker guard(&lock_);
    bool found = false;
    for (usbStick& drive : drives_) {
        if (drive.id != id) continue;
        std::fprintf(stderr, "Setting rec to false etc due to error on id %d: %s\n", id,
                     message != nullptr ? message : "");
        drive.rec = false;
        found = true;
    }
    if (!found && !drives_.empty()) std::fprintf(stderr, "Path with ID %d not found\n", id);
}

int USBListener::formatUSB(int id) {
    QMutexLocker guard(&lock_);
    int result = 1;
    for (size_t i = 0; i < drives_.size(); ++i) {
        std::fputs("Format usb loop \n", stderr);
        if (drives_[i].id != id || drives_[i].rec) continue;
        std::fputs("Format usb found stick\n", stderr);
        const usbStick drive = drives_[i];
        std::fprintf(stderr, "Formatting USB %d\n", static_cast<int>(i));
        drives_.erase(drives_.begin() + static_cast<std::ptrdiff_t>(i));
        std::fputs("Format usb start formating\n", stderr);
        result = 0;
        startFormatting(drive);
        std::fputs("Format usb done\n", stderr);
    }
    std::fputs("Format usb mutex unlock\n", stderr);
    std::fputs("Format usb mutex lock1\n", stderr);
    return result;
}

int USBListener::formatALLUSB() {
    QMutexLocker guard(&lock_);
    if (drives_.empty()) return 1;
    if (std::any_of(drives_.begin(), drives_.end(), [](const usbStick& d) { return d.rec; })) return 1;
    while (!drives_.empty()) {
        startFormatting(drives_.front());
        drives_.pop_front();
    }
    return 0;
}

void USBListener::startFormatting(const usbStick& drive) {
    // Argument vector, no shell: a drive name with blanks or shell characters
    // reaches the script whole. The thread keeps its own share of the runner
    // because the script may outlast this object; it never takes our lock.
    std::vector<std::string> argv{"/formatusb.sh", drive.path, drive.label};
    try {
        std::thread([runner = options_.runner, argv = std::move(argv)] { runner->run(argv); }).detach();
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "Could not start formatting %s: %s\n", drive.path.c_str(), error.what());
    }
}
