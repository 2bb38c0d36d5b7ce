#include "remote/SocketFile.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace qva {

namespace {

std::string kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISREG(mode)) return "a file";
    if (S_ISFIFO(mode)) return "a pipe";
    return "a device";
}

// The group's id, if the system knows the group.
bool groupId(const std::string& name, gid_t& id) {
    std::vector<char> scratch(16384);
    group entry{};
    group* found = nullptr;
    if (::getgrnam_r(name.c_str(), &entry, scratch.data(), scratch.size(), &found) != 0 || found == nullptr) return false;
    id = found->gr_gid;
    return true;
}

}  // namespace

std::string clearSocketPath(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return "";  // nothing there
    if (S_ISSOCK(info.st_mode)) {
        ::unlink(path.c_str());
        return "";
    }
    const std::string what = " Network listner : " + path + " was " + kindOf(info.st_mode) + ", not a socket: ";
    // unlink and rmdir remove the name only; a link is never followed.
    if (!S_ISDIR(info.st_mode)) {
        if (::unlink(path.c_str()) == 0) return what + "removed";
    } else if (::rmdir(path.c_str()) == 0) {
        return what + "removed (it was empty)";
    } else if (errno == ENOTEMPTY || errno == EEXIST) {
        const std::string aside = path + ".moved-" + std::to_string(::getpid()) + "-" + std::to_string(info.st_ino);
        if (::rename(path.c_str(), aside.c_str()) == 0) return what + "moved to " + aside;
    }
    return what + "cannot be taken over: " + std::strerror(errno);
}

std::string restrictSocket(const std::string& path, const std::string& group, bool sandboxed) {
    gid_t id = 0;
    std::string why;
    if (sandboxed) {
        why = "running in a sandbox";
    } else if (!groupId(group, id)) {
        why = "there is no group \"" + group + "\"";
    } else if (::lchown(path.c_str(), 0, id) == 0 && ::chmod(path.c_str(), 0660) == 0) {
        return "";
    } else {
        why = "it cannot be given to root and group \"" + group + "\" (" + std::strerror(errno) + ")";
    }
    // The web server runs as another user; without the group it needs "others".
    if (::chmod(path.c_str(), 0707) != 0) {
        const int error = errno;
        std::fputs(" Network listner : chmod() did not succeed. Plix do it manually...", stderr);
        std::fprintf(stderr, "%s\n", std::strerror(error));
    }
    return " Network listner : " + why + ", so every local user may command the box (socket mode 0707)";
}

}  // namespace qva
