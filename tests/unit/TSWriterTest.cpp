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
#include <memory>
#include <thread>

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testing_support::readFile;
using testing_support::TempDir;

namespace {

template <class Done> bool waitFor(Done done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

bool holds(const std::string& path, const std::string& content) {  // exactly, within 10 s
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
        if (!(mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=60m") == 0)) error = std::strerror(errno);
    }
    ~Tmpfs() { unplug(); }
    void unplug() {
        if (std::exchange(mounted, false)) ::umount2(dir.c_str(), MNT_DETACH);  // the writer may have a file open
    }
    std::string dir, error;
    bool mounted = false;
};

// The writer with its drive manager, started as in the box.
struct Recorder {
    Recorder() {
        listener = std::make_unique<USBListener>(writer.get(), USBListener::Options{.mediaPath = media / "",
            .runner = std::make_shared<qva::CommandRunner>("/nonexistent-root"), .watch = false});
        writer->StartWriter();
    }
    ~Recorder() {
        writer.reset();  // it may call the listener until it has stopped
        listener.reset();
    }
    int add(const std::string& dir, int id) { return writer->AddOutput(dir, id); }
    // Adds the targets (each gets its own id back), then settles: the writer awaits a packet with its
    // targets already chosen, and an empty one ends that wait, so they get all that follows.
    testing::AssertionResult start(const std::vector<std::pair<std::string, int>>& targets, bool settled = true) {
        for (const auto& [dir, id] : targets)
            if (const int got = add(dir, id); got != id) return testing::AssertionFailure() << dir << " got " << got;
        if (settled) buffer.putData("", 0);
        return waitFor([&] { return !settled || buffer.queued() == 0; }) ? testing::AssertionSuccess()
                                                                          : testing::AssertionFailure() << "unsettled";
    }
    const std::string& put(const std::string& bytes) {
        buffer.putData(bytes.data(), int(bytes.size()));
        return fed += bytes;
    }

    TempDir media;
    StreamBuffer buffer;
    FilePrefix prefix{"rec"};
    std::unique_ptr<TSWriter> writer = std::make_unique<TSWriter>(&buffer, &prefix);
    std::unique_ptr<USBListener> listener;
    std::string fed;
};

// A recorder with a tmpfs "stick" and the box's own disk (root) to record to.
struct TSWriterOnStick : testing::Test {
    void SetUp() override {
        if (!stick.mounted) GTEST_SKIP() << "cannot mount a tmpfs drive: " << stick.error;
    }
    Recorder r;
    TempDir root;
    Tmpfs stick{root / "stick"};
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
    ASSERT_TRUE(r.start({}));
    EXPECT_TRUE(holds(drive / "rec1080-1.ts", r.put(block(1))));
    ASSERT_TRUE(r.writer->RemoveOutput(1));
    r.prefix.set("rec1080");
    ASSERT_TRUE(r.start({{drive.path(), 1}}));
    r.put(block(2));
    EXPECT_TRUE(holds(drive / "rec1080-3.ts", block(2)));
    EXPECT_EQ(readFile(drive / "rec1080.ts"), "kept");
    EXPECT_FALSE(fs::exists(elsewhere / "lost.ts") || fs::exists(elsewhere / "unplugged"));
}

TEST(TSWriterDistribution, TargetsAreFixedBeforeThePacketIsAwaited) {
    Recorder r;
    TempDir a, b, c;
    ASSERT_TRUE(r.start({{a.path(), 1}, {c.path(), 3}}));
    ASSERT_TRUE(holds(a / "rec.ts", r.put(block(0))));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // back in its wait, a chosen

    EXPECT_TRUE(r.writer->RemoveOutput(1));
    EXPECT_FALSE(r.writer->RemoveOutput(1));
    ASSERT_EQ(r.add(b.path(), 2), 2);
    r.put(block(1)), r.put(block(2));
    EXPECT_TRUE(holds(b / "rec.ts", block(2)));
    EXPECT_TRUE(holds(c / "rec.ts", r.fed));  // there all along: the whole stream
    EXPECT_EQ(readFile(a / "rec.ts"), block(0) + block(1));
    EXPECT_EQ(r.writer->outputCount(), 2u);
}

TEST(TSWriterDistribution, DrivesStoppedAndStartedDuringAWriteRoundGetNewFiles) {
    Recorder r;
    TempDir slow, good, bad;
    ASSERT_TRUE(r.start({{slow.path(), 7}, {good.path(), 1}, {bad.path(), 2}}));  // the round waits for slow, first
    fs::remove(slow / "rec.ts");
    ASSERT_EQ(::mkfifo((slow / "rec.ts").c_str(), 0600), 0);  // its write waits for a reader
    fs::remove(bad / "rec.ts");
    for (int i = 0; i <= 10; ++i)  // all eleven names fail
        fs::create_directory(bad / (i ? "rec.ts_" + std::to_string(i) + ".ts" : "rec.ts"));
    ASSERT_TRUE(holds(good / "rec.ts", r.put(block(1))));

    // "STP" then "REC" on both while their old jobs' round is still open.
    CaptureStderr();
    for (int id : {1, 2}) EXPECT_TRUE(r.writer->RemoveOutput(id));
    ASSERT_TRUE(r.start({{good.path(), 1}, {bad.path(), 2}}, false));
    EXPECT_EQ(readFile(slow / "rec.ts"), r.fed);  // a reader at last: the round ends
    fs::remove(slow / "rec.ts");
    EXPECT_TRUE(r.writer->RemoveOutput(7));

    r.put(block(2));
    for (const TempDir* dir : {&good, &bad}) EXPECT_TRUE(holds(*dir / "rec-1.ts", block(2)));
    const std::string said = GetCapturedStderr();
    EXPECT_EQ(readFile(good / "rec.ts"), block(1));
    EXPECT_EQ(count(said, "Error removing output with ID: 2\n"), 1u);
    EXPECT_EQ(r.writer->outputCount(), 2u);
}

TEST_F(TSWriterOnStick, FullDriveIsDroppedWithWholePacketsWhileTheOtherGoesOn) {
    ASSERT_TRUE(r.start({{stick.dir, 1}, {root.path(), 2}}));
    CaptureStderr();
    for (int k = 0; k < 1600; ++k) r.put(block(k));  // 15 MB: past the 50 MiB left free
    EXPECT_TRUE(holds(root / "rec.ts", r.fed));  // byte for byte, and the failed round is over
    const std::string said = GetCapturedStderr();
    const std::string full = readFile(stick.dir + "/rec.ts");
    EXPECT_TRUE(!full.empty() && full.size() % 188 == 0) << full.size();
    EXPECT_EQ(full, r.fed.substr(0, full.size()));
    for (const char* line : {"break Freesize\n", "ID in callback: 1\n", "Removed output with ID: 1\n"})
        EXPECT_EQ(count(said, line), 1u) << line;
    EXPECT_EQ(r.writer->outputCount(), 1u);
}

TEST_F(TSWriterOnStick, VanishedAndUnpluggedDrivesAreDroppedAndNothingLandsOnTheBoxDisk) {
    fs::create_directories(root / "gone");
    ASSERT_TRUE(r.start({{root / "gone", 1}, {stick.dir, 2}, {root.path(), 3}}));
    ASSERT_TRUE(holds(stick.dir + "/rec.ts", r.put(block(1))));

    CaptureStderr();
    fs::remove_all(root / "gone");
    stick.unplug();  // leaves its empty mount folder on this disk
    for (int k = 2; k < 6; ++k) r.put(block(k));
    EXPECT_TRUE(holds(root / "rec.ts", r.fed));
    const std::string said = GetCapturedStderr();
    EXPECT_EQ(count(said, "Error opening file with id: 1\n"), 11u);
    for (const char* line : {"Removed output with ID: 1\n", "Removed output with ID: 2\n"})
        EXPECT_EQ(count(said, line), 1u) << line;
    EXPECT_TRUE(!fs::exists(root / "gone") && fs::is_empty(stick.dir));
    EXPECT_EQ(r.writer->outputCount(), 1u);
}

TEST(TSWriterFaults, UnwritableCurrentFileContinuesInTheNextName) {
    Recorder r;
    TempDir drive;
    ASSERT_TRUE(r.start({{drive.path(), 1}}));
    ASSERT_TRUE(holds(drive / "rec.ts", r.put(block(1))));
    fs::remove(drive / "rec.ts");
    fs::create_directory(drive / "rec.ts");  // even root cannot append to it

    CaptureStderr();
    r.put(block(2)), r.put(block(3));
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
            ok = writePacket(job, block(k).data(), int(block(k).size()));
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
