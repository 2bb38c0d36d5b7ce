#include "record/USBListener.h"

#include "core/FilePrefix.h"
#include "record/StreamBuffer.h"
#include "record/TSWriter.h"

#include <gtest/gtest.h>

#include "RecordingRunner.h"
#include "LoopDrive.h"
#include "TestFiles.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <future>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Argv = std::vector<std::string>;

namespace {

struct Fixture : testing::Test {
    testing_support::TempDir root;
    std::string media = root / "";
    StreamBuffer buffer;
    FilePrefix prefix{"rec"};
    TSWriter writer{&buffer, &prefix};
    std::shared_ptr<RecordingRunner> runner = std::make_shared<RecordingRunner>();
    std::unique_ptr<USBListener> usb =
        std::make_unique<USBListener>(&writer, USBListener::Options{media, runner, false, {}});

    std::string scan(const Argv& plug = {}, const Argv& pull = {}) {  // plugged one per cycle: a known order
        for (const std::string& name : plug) {
            fs::create_directory(media + name);
            scan();
        }
        for (const std::string& name : pull) fs::rename(media + name, root / (".pulled-" + name));  // whole, even while written
        CaptureStderr();
        usb->scanOnce();
        return GetCapturedStderr();
    }
    std::deque<usbStick> drives() {
        QMutexLocker guard(usb->lock());
        return *usb->drives();
    }
    std::string list() {
        std::string text;
        for (const usbStick& d : drives()) text += d.label + std::to_string(d.id) + (d.rec ? "r " : " ");
        return text;
    }
};

// A drive that never answers: a FUSE mount nobody serves, so every lstat and
// statfs on it waits, as on a hung USB stick, until the connection is closed.
struct HungDrive {
    explicit HungDrive(const std::string& path) : dir(path) {
        fs::create_directory(dir);
        fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
        const std::string options = "fd=" + std::to_string(fd) + ",rootmode=40000,user_id=0,group_id=0";
        mounted = fd >= 0 && ::mount("qva-hung", dir.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
        if (!mounted) {
            error = std::strerror(errno);
            release();
        }
    }
    ~HungDrive() {
        release();
        if (mounted) ::umount2(dir.c_str(), MNT_DETACH);
    }
    void release() {  // whatever waits on it fails from now on
        if (fd >= 0) ::close(std::exchange(fd, -1));
    }
    std::string dir, error;
    int fd = -1;
    bool mounted = false;
};

using USBListenerScanning = Fixture;
using USBListenerFormatting = Fixture;

}  // namespace

TEST_F(USBListenerScanning, AHungDriveHoldsUpNoOtherAndFiguresFollowTheDrive) {
    const std::string a = media + "a";
    testing_support::Tmpfs drive(a, "size=8m");
    if (!drive.mounted) GTEST_SKIP() << "no tmpfs: " << drive.error;
    HungDrive hung(media + "hung");
    if (!hung.mounted) GTEST_SKIP() << "cannot mount a FUSE drive: " << hung.error;
    auto scanned = std::async(std::launch::async, [&] { return scan(); });
    const bool answered = scanned.wait_for(60s) == std::future_status::ready;
    hung.release();  // a scan that waits for it goes on now
    scanned.get();
    ASSERT_TRUE(answered) << "the scan waited for the hung drive";
    ASSERT_EQ(list(), "a0 ");
    EXPECT_EQ(std::pair(drives()[0].size, drives()[0].freeSpace), std::pair(508, 8));  // (8 MiB + 500 MB) / 1 MB
    testing_support::writeFile(a + "/x", std::string(3 << 20, 'x'));
    scan({"b"});  // a cycle that adds; the hung drive's look ends, not a drive
    EXPECT_EQ(list(), "a0 b1 ");
    EXPECT_EQ(drives()[0].freeSpace, 5);
}

TEST_F(USBListenerScanning, LinksAreNeverDrivesAndOnTheBoxNeitherAreFoldersOfItsOwnDisk) {
    fs::create_directory_symlink("/", media + "root");
    scan({"plain"});
    EXPECT_EQ(list(), "plain0 ");
    testing_support::Tmpfs stick(media + "stick", "size=1m");
    if (!stick.mounted) GTEST_SKIP() << "no tmpfs: " << stick.error;
    usb = std::make_unique<USBListener>(&writer, USBListener::Options{media, runner, false, {}, true});
    scan();
    EXPECT_EQ(list(), "stick0 ");
}

TEST_F(USBListenerScanning, WatcherPicksUpADriveAndStopsWithoutWaitingAPeriod) {
    usb.reset();  // one with the thread, its period far longer than the test
    fs::create_directory(media + "a");
    CaptureStderr();
    usb = std::make_unique<USBListener>(&writer, USBListener::Options{media, runner, true, 30s});
    within(5s, [&] { return !list().empty(); });
    auto start = std::chrono::steady_clock::now();
    usb.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_NE(GetCapturedStderr().find("Lägger till dir: " + media + "a med id: 0\n"), std::string::npos);
}

TEST_F(USBListenerFormatting, RefusesRecordingDrivesPassesNamesWholeTellsThePosition) {
    const std::string name = "My Drive; $(x) `y`";
    scan({"gone"}, {"gone"});
    scan({"a", name, "c"});  // ids 1 to 3: not the positions
    usb->StartRecord(3);
    EXPECT_EQ(usb->formatUSB(3) + usb->formatUSB(9) + usb->formatALLUSB(), 3);
    CaptureStderr();
    EXPECT_EQ(usb->formatUSB(2), 0);
    EXPECT_NE(GetCapturedStderr().find("found stick\nFormatting USB 1\n"), std::string::npos);
    EXPECT_EQ(list(), "a1 c3r ");
    usb->StopRecord(3);
    EXPECT_EQ(usb->formatALLUSB(), 0);
    EXPECT_EQ(usb->formatALLUSB(), 1);  // nothing left
    EXPECT_EQ(runner->taken(3), (std::vector<Argv>{{"/formatusb.sh", media + name, name},
                                                   {"/formatusb.sh", media + "a", "a"},
                                                   {"/formatusb.sh", media + "c", "c"}}));
}
