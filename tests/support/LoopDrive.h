// Real drives for the tests (root only). LoopDrive: ext4 in an image file on a loop device. Frozen, it
// stalls every write in the kernel as a hung USB stick does; it is thawed and
// unmounted on the way out, so a failing test leaves no thread stuck behind it.
#pragma once

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

namespace testing_support {

class LoopDrive {
public:
    LoopDrive(const std::filesystem::path& image, const std::filesystem::path& mountPoint, int mebibytes = 128)
        : image_(image), mountPoint_(mountPoint) {
        std::filesystem::create_directories(mountPoint_);
        if (::geteuid() != 0) return;
        mounted_ = run("truncate -s " + std::to_string(mebibytes) + "M '" + image_.string() + "'") &&
                   run("mkfs.ext4 -q -F '" + image_.string() + "'") &&
                   run("mount -o loop '" + image_.string() + "' '" + mountPoint_.string() + "'");
    }
    LoopDrive(const LoopDrive&) = delete;
    LoopDrive& operator=(const LoopDrive&) = delete;
    ~LoopDrive() {
        thaw();
        if (mounted_) ::umount2(mountPoint_.c_str(), MNT_DETACH);  // lazily: a writer may still hold a file open
    }

    bool mounted() const { return mounted_; }
    const std::filesystem::path& image() const { return image_; }
    const std::filesystem::path& path() const { return mountPoint_; }

    bool freeze() { return frozen_ = run("fsfreeze -f '" + mountPoint_.string() + "'"); }
    void thaw() {
        if (frozen_) run("fsfreeze -u '" + mountPoint_.string() + "'");
        frozen_ = false;
    }

    static bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

private:
    std::filesystem::path image_, mountPoint_;
    bool mounted_ = false;
    bool frozen_ = false;
};

// A small drive of its own, as a USB stick is.
struct Tmpfs {
    explicit Tmpfs(const std::string& path, const char* size = "size=60m") : dir(path) {
        std::filesystem::create_directories(dir);
        if (!(mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, size) == 0)) error = std::strerror(errno);
    }
    ~Tmpfs() { unplug(); }
    void unplug() {
        if (std::exchange(mounted, false)) ::umount2(dir.c_str(), MNT_DETACH);  // the writer may have a file open
    }
    std::string dir, error;
    bool mounted = false;
};

}  // namespace testing_support
