#include "record/TSWriter.h"

#include "TestFiles.h"
#include "core/FilePrefix.h"
#include "platform/CommandRunner.h"
#include "record/StreamBuffer.h"
#include "record/USBListener.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testing_support::readFile;
using testing_support::TempDir;

namespace {

bool waitFor(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

// Waits until the file holds exactly content.
bool holds(const std::string& path, const std::string& content) {
    std::error_code missing;
    return waitFor([&] { return fs::file_size(path, missing) == content.size(); }) && readFile(path) == content;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Stream block k: transport packets of 188 bytes, each telling which it is.
std::string block(int k, int transportPackets = 50) {
    std::string bytes;
    for (int j = 0; j < transportPackets; ++j) {
        const std::string tag = "\x47" + std::to_string(k) + "/" + std::to_string(j);
        bytes += tag + std::string(188 - tag.size(), char('a' + (k + j) % 26));
    }
    return bytes;
}

// A small drive of its own, as a USB stick is.
struct Tmpfs {
    explicit Tmpfs(const std::string& path) : dir(path) {
        fs::create_directories(dir);
        mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=60m") == 0;
        if (!mounted) error = std::strerror(errno);
    }
    ~Tmpfs() { unplug(); }
    void unplug() {
        if (mounted) ::umount2(dir.c_str(), MNT_DETACH);  // the writer may have a file open
        mounted = false;
    }
    std::string dir, error;
    bool mounted = false;
};

// The writer with its drive manager, started as in the box.
struct Recorder {
    Recorder() {
        auto runner = std::make_shared<qva::CommandRunner>("/nonexistent-root");
        listener = std::make_unique<USBListener>(
            writer.get(), USBListener::Options{.mediaPath = media / "", .runner = runner, .watch = false});
        writer->StartWriter();
    }
    ~Recorder() {
        writer.reset();  // it may call the listener until it has stopped
        listener.reset();
    }
    int add(const std::string& dir, int id) { return writer->AddOutput(dir, id); }
    const std::string& put(const std::string& bytes) {
        buffer.putData(bytes.data(), int(bytes.size()));
        return fed += bytes;
    }
    // The writer awaits a packet with its targets already chosen: an empty one
    // ends that wait, so targets added before settle() get all that follows.
    void settle() {
        buffer.putData("", 0);
        ASSERT_TRUE(waitFor([&] { return buffer.queued() == 0; }));
    }

    TempDir media;
    StreamBuffer buffer;
    FilePrefix prefix{"rec"};
    std::unique_ptr<TSWriter> writer = std::make_unique<TSWriter>(&buffer, &prefix);
    std::unique_ptr<USBListener> listener;
    std::string fed;
};

}  // namespace

TEST(TSWriterNaming, FirstGapIsTakenAndNoNameInUseOrCutShortIsUsed) {
    Recorder r;
    TempDir drive, elsewhere;
    EXPECT_EQ(r.add(elsewhere / "unplugged", 9), -1);
    std::string deep = elsewhere.path();
    while (deep.size() < 4000) deep += "/" + std::string(200, 'd');
    fs::create_directories(deep);
    r.prefix.set(std::string(63, 'p'));
    EXPECT_EQ(r.add(deep, 9), -1);  // folder and name together would pass PATH_MAX
    EXPECT_FALSE(r.writer->RemoveOutput(9));

    r.prefix.set("rec1080");
    testing_support::writeFile(drive / "rec1080.ts", "kept");
    fs::create_symlink(elsewhere / "lost.ts", drive / "rec1080-2.ts");  // dangling, still in use
    ASSERT_EQ(r.add(drive.path(), 1), 1);
    r.prefix.set("renamed");  // read when a recording starts, never later
    r.settle();
    EXPECT_TRUE(holds(drive / "rec1080-1.ts", r.put(block(1))));
    ASSERT_TRUE(r.writer->RemoveOutput(1));
    r.prefix.set("rec1080");
    ASSERT_EQ(r.add(drive.path(), 1), 1);
    r.settle();
    r.put(block(2));
    EXPECT_TRUE(holds(drive / "rec1080-3.ts", block(2)));
    EXPECT_EQ(readFile(drive / "rec1080.ts"), "kept");
    EXPECT_FALSE(fs::exists(elsewhere / "lost.ts"));
    EXPECT_FALSE(fs::exists(elsewhere / "unplugged"));
}

TEST(TSWriterDistribution, TargetsAreFixedBeforeThePacketIsAwaited) {
    Recorder r;
    TempDir a, b, c;
    ASSERT_EQ(r.add(a.path(), 1), 1);
    ASSERT_EQ(r.add(c.path(), 3), 3);
    r.settle();
    ASSERT_TRUE(holds(a / "rec.ts", r.put(block(0))));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // back in its wait, a chosen

    EXPECT_TRUE(r.writer->RemoveOutput(1));
    EXPECT_FALSE(r.writer->RemoveOutput(1));
    ASSERT_EQ(r.add(b.path(), 2), 2);
    r.put(block(1));
    r.put(block(2));
    EXPECT_TRUE(holds(b / "rec.ts", block(2)));
    EXPECT_TRUE(holds(c / "rec.ts", r.fed));  // there all along: the whole stream
    EXPECT_EQ(readFile(a / "rec.ts"), block(0) + block(1));
    EXPECT_EQ(r.writer->outputCount(), 2u);
}

TEST(TSWriterDistribution, DrivesStoppedAndStartedDuringAWriteRoundGetNewFiles) {
    Recorder r;
    TempDir slow, good, bad;
    ASSERT_EQ(r.add(slow.path(), 7), 7);  // first in the round, so the round waits for it
    ASSERT_EQ(r.add(good.path(), 1), 1);
    ASSERT_EQ(r.add(bad.path(), 2), 2);
    r.settle();
    fs::remove(slow / "rec.ts");
    ASSERT_EQ(::mkfifo((slow / "rec.ts").c_str(), 0600), 0);  // its write waits for a reader
    fs::remove(bad / "rec.ts");
    for (std::string name : {"", "_1", "_2", "_3", "_4", "_5", "_6", "_7", "_8", "_9", "_10"}) {
        fs::create_directory(bad / ("rec.ts" + name + (name.empty() ? "" : ".ts")));  // all eleven fail
    }
    ASSERT_TRUE(holds(good / "rec.ts", r.put(block(1))));

    // "STP" then "REC" on both while their old jobs' round is still open.
    CaptureStderr();
    for (int id : {1, 2}) EXPECT_TRUE(r.writer->RemoveOutput(id));
    ASSERT_EQ(r.add(good.path(), 1), 1);
    ASSERT_EQ(r.add(bad.path(), 2), 2);
    EXPECT_EQ(readFile(slow / "rec.ts"), r.fed);  // a reader at last: the round ends
    fs::remove(slow / "rec.ts");
    EXPECT_TRUE(r.writer->RemoveOutput(7));

    r.put(block(2));
    EXPECT_TRUE(holds(good / "rec-1.ts", block(2)));
    EXPECT_TRUE(holds(bad / "rec-1.ts", block(2)));
    const std::string said = GetCapturedStderr();
    EXPECT_EQ(readFile(good / "rec.ts"), block(1));
    EXPECT_EQ(count(said, "Error removing output with ID: 2\n"), 1u);
    EXPECT_EQ(r.writer->outputCount(), 2u);
}

TEST(TSWriterFaults, FullDriveIsDroppedWithWholePacketsWhileTheOtherGoesOn) {
    Recorder r;
    TempDir root;
    Tmpfs stick(root / "stick");
    if (!stick.mounted) GTEST_SKIP() << "cannot mount a tmpfs drive: " << stick.error;
    ASSERT_EQ(r.add(stick.dir, 1), 1);
    ASSERT_EQ(r.add(root.path(), 2), 2);
    r.settle();
    CaptureStderr();
    for (int k = 0; k < 1600; ++k) r.put(block(k));  // 15 MB: past the 50 MiB left free
    EXPECT_TRUE(holds(root / "rec.ts", r.fed));  // byte for byte, and the failed round is over
    const std::string said = GetCapturedStderr();
    const std::string full = readFile(stick.dir + "/rec.ts");
    EXPECT_GT(full.size(), 0u);
    EXPECT_EQ(full.size() % 188, 0u);
    EXPECT_EQ(full, r.fed.substr(0, full.size()));
    EXPECT_EQ(count(said, "break Freesize\n"), 1u);
    EXPECT_EQ(count(said, "ID in callback: 1\n"), 1u);
    EXPECT_EQ(count(said, "Removed output with ID: 1\n"), 1u);
    EXPECT_EQ(r.writer->outputCount(), 1u);
}

TEST(TSWriterFaults, VanishedAndUnpluggedDrivesAreDroppedAndNothingLandsOnTheBoxDisk) {
    Recorder r;
    TempDir root;
    Tmpfs stick(root / "stick");
    if (!stick.mounted) GTEST_SKIP() << "cannot mount a tmpfs drive: " << stick.error;
    fs::create_directories(root / "gone");
    ASSERT_EQ(r.add(root / "gone", 1), 1);
    ASSERT_EQ(r.add(stick.dir, 2), 2);
    ASSERT_EQ(r.add(root.path(), 3), 3);
    r.settle();
    ASSERT_TRUE(holds(stick.dir + "/rec.ts", r.put(block(1))));

    CaptureStderr();
    fs::remove_all(root / "gone");
    stick.unplug();  // leaves its empty mount folder on this disk
    for (int k = 2; k < 6; ++k) r.put(block(k));
    EXPECT_TRUE(holds(root / "rec.ts", r.fed));
    const std::string said = GetCapturedStderr();
    EXPECT_EQ(count(said, "Error opening file with id: 1\n"), 11u);
    EXPECT_EQ(count(said, "Removed output with ID: 1\n"), 1u);
    EXPECT_EQ(count(said, "Removed output with ID: 2\n"), 1u);
    EXPECT_FALSE(fs::exists(root / "gone"));
    EXPECT_TRUE(fs::is_empty(stick.dir));
    EXPECT_EQ(r.writer->outputCount(), 1u);
}

TEST(TSWriterFaults, UnwritableCurrentFileContinuesInTheNextName) {
    Recorder r;
    TempDir drive;
    ASSERT_EQ(r.add(drive.path(), 1), 1);
    r.settle();
    ASSERT_TRUE(holds(drive / "rec.ts", r.put(block(1))));
    fs::remove(drive / "rec.ts");
    fs::create_directory(drive / "rec.ts");  // even root cannot append to it

    CaptureStderr();
    r.put(block(2));
    r.put(block(3));
    EXPECT_TRUE(holds(drive / "rec.ts_1.ts", block(2) + block(3)));
    EXPECT_EQ(count(GetCapturedStderr(), "Error opening file with id: 1\n"), 1u);
    EXPECT_EQ(r.writer->outputCount(), 1u);
}

TEST(TSWriterFaults, FileSizeLimitEndsInTheNextNameNotInAKilledRecorder) {
    TempDir drive;
    struct stat folder {};
    ASSERT_EQ(::stat(drive.path().c_str(), &folder), 0);
    TSOutput target{.id = 1, .path = drive / "rec.ts", .directory = drive.path().string() + "/",
                    .fileName = "rec.ts", .device = folder.st_dev};

    const pid_t child = ::fork();
    if (child == 0) {  // as the distribution thread does: a fresh copy per packet, the path carried on
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit fileSize{5 * 9400 + 1000, 5 * 9400 + 1000};  // the sixth block is cut short
        bool ok = ::setrlimit(RLIMIT_FSIZE, &fileSize) == 0;
        for (int k = 0; k < 8 && ok; ++k) {
            TSOutput job = target;
            const std::string bytes = block(k);
            ok = writePacket(job, bytes.data(), int(bytes.size()));
            target.path = job.path;
        }
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(drive / "rec.ts"), block(0) + block(1) + block(2) + block(3) + block(4));
    EXPECT_EQ(readFile(drive / "rec.ts_1.ts"), block(5) + block(6) + block(7));
}
