#include "StateFile.h"

#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace qva_web {

std::optional<std::string> readSmallFile(const std::string& path, size_t maxBytes) {
    qva::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return std::nullopt;
    std::string data;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return data;
        data.append(chunk, size_t(n));
        if (data.size() > maxBytes) return std::nullopt;
    }
}

bool writePrivateFile(const std::string& path, const std::string& data) {
    std::string temporary = path + ".XXXXXX";
    qva::FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0) return false;
    const bool written = ::fchmod(fd.get(), 0600) == 0 && qva::writeAll(fd.get(), data.data(), data.size()) &&
                         ::fsync(fd.get()) == 0 && fd.close();
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool ensurePrivateDirectory(const std::string& dir) {
    std::error_code error;
    if (std::filesystem::is_directory(dir, error)) return true;
    const std::filesystem::path path(dir);
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), error);
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace qva_web
