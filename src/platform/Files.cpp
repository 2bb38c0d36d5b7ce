#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace qva {

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileDescriptor::close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
}

bool writeAll(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= size_t(written);
    }
    return true;
}

bool replaceFileAtomically(const std::string& path, const void* data, size_t size) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string temporary = path + ".XXXXXX";
    FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0) return false;
    const bool written = ::fchmod(fd.get(), 0644) == 0 && writeAll(fd.get(), data, size) &&
                         ::fsync(fd.get()) == 0 && fd.close();
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename is durable only once the folder is.
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.get() >= 0 && ::fsync(dir.get()) == 0;
}

int removeLeftoverTemporaries(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string stem = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return 0;
    int removed = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        // Exactly what replaceFileAtomically names them: the file's name, a dot and six characters.
        if (name.size() != stem.size() + 6 || name.compare(0, stem.size(), stem) != 0) continue;
        struct stat info {};
        const std::string candidate = folder + name;
        if (::lstat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::unlink(candidate.c_str()) == 0) ++removed;
    }
    return removed;
}

}  // namespace qva
