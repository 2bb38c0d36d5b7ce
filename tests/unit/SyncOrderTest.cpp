// What reaches the disk before a power cut, seen in the order of the syncs and
// renames. A test that kills the process keeps the page cache and cannot see
// a missing sync, so this program stands in for the C library's fsync,
// fdatasync and rename (its own definitions win over the shared library's)
// and records each call before making it.
#include "core/FilePrefix.h"
#include "platform/CommandRunner.h"
#include "platform/Files.h"
#include "record/StreamBuffer.h"
#include "record/TSWriter.h"
#include "record/USBListener.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestFiles.h"

namespace {

std::mutex eventsLock;
std::vector<std::string> events;

void note(const std::string& call, int fd) {
    char path[4096];
    const ssize_t length = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
    std::lock_guard guard(eventsLock);
    events.push_back(call + " " + std::string(path, size_t(std::max<ssize_t>(length, 0))));
}

// What was noted since the last call, or everything when keep is set.
std::vector<std::string> noted(bool keep = true) {
    std::lock_guard guard(eventsLock);
    return keep ? events : std::exchange(events, {});
}

// Where what was first noted, or -1.
int indexOf(const std::vector<std::string>& seen, const std::string& what) {
    const auto found = std::find(seen.begin(), seen.end(), what);
    return found == seen.end() ? -1 : int(found - seen.begin());
}

}  // namespace

extern "C" int fsync(int fd) {
    note("fsync", fd);
    return int(::syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd) {
    note("fdatasync", fd);
    return int(::syscall(SYS_fdatasync, fd));
}

extern "C" int rename(const char* from, const char* to) {
    std::lock_guard guard(eventsLock);
    events.push_back(std::string("rename ") + from + " " + to);
    return int(::syscall(SYS_renameat, AT_FDCWD, from, AT_FDCWD, to));
}

TEST(SyncOrder, AReplacedFileIsOnDiskBeforeItsNameAndItsNameBeforeTheCallReturns) {
    testing_support::TempDir dir;
    const std::string path = std::filesystem::canonical(dir.path()) / "startup.cfg";
    noted(false);
    ASSERT_TRUE(qva::replaceFileAtomically(path, "settings", 8));
    const std::vector<std::string> seen = noted();
    ASSERT_EQ(seen.size(), 3u) << testing::PrintToString(seen);
    const std::string temporary = seen[0].substr(std::string("fsync ").size());
    EXPECT_EQ(temporary.rfind(path + ".", 0), 0u) << seen[0];
    EXPECT_EQ(seen[1], "rename " + temporary + " " + path);
    EXPECT_EQ(seen[2], "fsync " + path.substr(0, path.rfind('/')));
}

TEST(SyncOrder, ARecordingsNewNameIsSyncedBeforeItsFirstData) {
    testing_support::TempDir dir;
    const std::string folder = std::filesystem::canonical(dir.path());
    StreamBuffer buffer;
    FilePrefix prefix{"rec"};
    TSWriter writer(&buffer, &prefix, TSWriter::Limits{.syncPeriod = std::chrono::milliseconds(50)});
    USBListener drives(&writer, USBListener::Options{.mediaPath = folder + "/media/",
                                                     .runner = std::make_shared<qva::CommandRunner>("/nonexistent-root"),
                                                     .watch = false});
    writer.StartWriter();
    noted(false);
    ASSERT_EQ(writer.AddOutput(folder, 1), 1);
    const std::string packet = "\x47" + std::string(187, 'x');
    const std::string dataSync = "fdatasync " + folder + "/rec.ts";
    // Fed until the periodic sync has run; bounded, so a writer that never syncs fails instead of hanging.
    for (int i = 0; i < 1000 && indexOf(noted(), dataSync) < 0; ++i) {
        buffer.putData(packet.data(), int(packet.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::vector<std::string> seen = noted();
    ASSERT_GE(indexOf(seen, dataSync), 0) << testing::PrintToString(seen);
    const int folderSync = indexOf(seen, "fsync " + folder);
    EXPECT_GE(folderSync, 0) << "the folder holding the new name was never synced";
    EXPECT_LT(folderSync, indexOf(seen, dataSync));
}
