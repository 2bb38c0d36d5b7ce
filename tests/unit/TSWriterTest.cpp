#include "record/TSWriter.h"

#include "LoopDrive.h"
#include "TestFiles.h"
#include "core/FilePrefix.h"
#include "platform/CommandRunner.h"
#include "record/StreamBuffer.h"
#include "record/USBListener.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
using testing_support::Tmpfs;

namespace {

bool holds(const std::string& path, const std::string& content) {  // exactly, within 10 s
    std::error_code missing;
    const auto whole = [&] { return fs::file_size(path, missing) == content.size(); };
    return within(std::chrono::seconds(10), whole) && readFile(path) == content;
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

// The writer with its drive manager, started as in the box.
struct Recorder {
    explicit Recorder(TSWriter::Limits limits = {}) : writer(std::make_unique<TSWriter>(&buffer, &prefix, limits)) {
        listener = std::make_unique<USBListener>(writer.get(), USBListener::Options{.mediaPath = media / "",
            .runner = std::make_shared<qva::CommandRunner>("/nonexistent-root"), .watch = false});
        writer->StartWriter();
    }
    ~Recorder() {
        writer.reset();  // it may call the listener until it has stopped
        listener.reset();
    }
    int add(const std::string& dir, int id) { return writer->AddOutput(dir, id); }
    const std::string& put(const std::string& bytes, bool randomAccess = true) {
        buffer.putData(bytes.data(), int(bytes.size()), randomAccess);
        return fed += bytes;
    }
    bool dropped(size_t left) { return within(std::chrono::seconds(10), [&] { return writer->outputCount() == left; }); }

    TempDir media;
    StreamBuffer buffer;
    FilePrefix prefix{"rec"};
    std::unique_ptr<TSWriter> writer;
    std::unique_ptr<USBListener> listener;
    std::string fed;
};

}  // namespace

TEST(TSWriterNaming, FirstFreeNameAndNothingThatIsAlreadyThereIsOpened) {
    Recorder r;
    TempDir drive, elsewhere;
    r.prefix.set("rec1080");
    testing_support::writeFile(drive / "rec1080.ts", "kept");
    fs::create_symlink(elsewhere / "lost.ts", drive / "rec1080-2.ts");  // dangling, still taken
    ASSERT_EQ(r.add(drive.path(), 1), 1);
    r.prefix.set("renamed");  // read when a recording starts, never later
    EXPECT_TRUE(holds(drive / "rec1080-1.ts", r.put(block(1))));
    ASSERT_TRUE(r.writer->RemoveOutput(1));
    EXPECT_FALSE(r.writer->RemoveOutput(1));
    r.prefix.set("rec1080");
    ASSERT_EQ(r.add(drive.path(), 1), 1);
    r.put(block(2));
    EXPECT_TRUE(holds(drive / "rec1080-3.ts", block(2)));
    EXPECT_EQ(readFile(drive / "rec1080.ts"), "kept");
    EXPECT_FALSE(fs::exists(elsewhere / "lost.ts"));
}

TEST(TSWriterOnStick, VanishedAndUnpluggedDrivesAreDroppedAndNothingLandsOnTheBoxDisk) {
    Recorder r;
    TempDir root;  // the box's own disk
    Tmpfs stick(root / "stick");
    if (!stick.mounted) GTEST_SKIP() << "cannot mount a tmpfs drive: " << stick.error;
    ASSERT_EQ(r.add(stick.dir, 1), 1);
    ASSERT_EQ(r.add(root.path(), 2), 2);
    fs::create_directories(root / "gone");
    ASSERT_EQ(r.add(root / "gone", 3), 3);
    ASSERT_TRUE(holds(stick.dir + "/rec.ts", r.put(block(1))));
    ASSERT_TRUE(holds(root / "gone/rec.ts", block(1)));

    CaptureStderr();
    fs::remove_all(root / "gone");
    stick.unplug();  // leaves its empty mount folder on this disk
    for (int k = 2; k < 6; ++k) r.put(block(k));
    EXPECT_TRUE(holds(root / "rec.ts", r.fed));
    EXPECT_TRUE(r.dropped(1));
    const std::string said = GetCapturedStderr();
    EXPECT_EQ(count(said, "Error opening file with id: 3\n"), 11u);
    for (const char* line : {"Removed output with ID: 1\n", "Removed output with ID: 3\n"})
        EXPECT_EQ(count(said, line), 1u) << line;
    EXPECT_TRUE(!fs::exists(root / "gone") && fs::is_empty(stick.dir));
}

TEST(TSWriterFaults, RefusedWritesGoOnInNewPiecesNumberedOnAndNothingAtTheirNamesIsOpened) {
    Recorder r;
    TempDir drive, elsewhere;
    fs::create_symlink(elsewhere / "outside.ts", drive / "rec.ts_1.ts");
    ASSERT_EQ(::mkfifo((drive / "rec.ts_2.ts").c_str(), 0600), 0);  // opening it for writing would wait for ever
    // Every file holds two blocks at most, as FAT32's 4 GiB does at scale.
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    rlimit limited = before;
    limited.rlim_cur = 2 * 9400 + 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    ASSERT_EQ(r.add(drive.path(), 1), 1);
    CaptureStderr();
    for (int k = 0; k < 6; ++k) r.put(block(k));
    const bool landed = holds(drive / "rec.ts_4.ts", block(4) + block(5));
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_TRUE(landed);
    EXPECT_EQ(count(GetCapturedStderr(), "Error writing id: 1"), 2u);
    EXPECT_TRUE(readFile(drive / "rec.ts") == block(0) + block(1));
    EXPECT_TRUE(readFile(drive / "rec.ts_3.ts") == block(2) + block(3));
    EXPECT_FALSE(fs::exists(elsewhere / "outside.ts"));
    EXPECT_TRUE(fs::is_fifo(drive / "rec.ts_2.ts"));
    EXPECT_EQ(r.writer->outputCount(), 1u);
}

TEST(TSWriterStall, StalledDriveHoldsBackNoOtherAndIsDroppedAtItsBound) {
    TempDir root, healthy;
    Recorder r({.queueBytes = 1 << 20, .queueAge = std::chrono::milliseconds(300)});
    testing_support::LoopDrive stalled(root / "image", root / "stalled");  // thawed first on the way out
    if (!stalled.mounted()) GTEST_SKIP() << "a loop-mounted ext4 drive needs root";
    ASSERT_EQ(r.add(stalled.path(), 1), 1);
    ASSERT_EQ(r.add(healthy.path(), 2), 2);
    ASSERT_TRUE(holds(stalled.path() / "rec.ts", r.put(block(0))));
    ASSERT_TRUE(stalled.freeze());

    CaptureStderr();
    // Past both bounds: over 1 MiB, over 300 ms.
    for (int k = 1; k < 400 || r.writer->outputCount() == 2; ++k) {
        r.put(block(k));
        if (k % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_LT(k, 20000) << "never dropped";
    }
    EXPECT_TRUE(holds(healthy / "rec.ts", r.fed));
    EXPECT_EQ(r.writer->queuedBytes(), 0u);
    const std::string said = GetCapturedStderr();
    EXPECT_EQ(count(said, "Drive with ID 1 too slow"), 1u) << said;
    EXPECT_EQ(count(said, "Removed output with ID: 1\n"), 1u);
}

TEST(TSWriterStall, WritebackThatFailsDropsTheDriveWithTheErrorNamed) {
    TempDir root, healthy;
    Recorder r;
    // An ext4 drive of 256 MiB whose medium holds 40: writeback fails once that is full.
    Tmpfs medium(root / "medium", "size=40m");
    testing_support::LoopDrive failing(medium.dir + "/image", root / "failing", 256);
    if (!failing.mounted()) GTEST_SKIP() << "a loop-mounted ext4 drive needs root";
    ASSERT_EQ(r.add(failing.path(), 1), 1);
    ASSERT_EQ(r.add(healthy.path(), 2), 2);
    CaptureStderr();
    for (int k = 0; k < 12000 && r.writer->outputCount() == 2; ++k) {  // at most 113 MB
        r.put(block(k));
        if (k % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(r.dropped(1));
    EXPECT_TRUE(holds(healthy / "rec.ts", r.fed));
    const std::string said = GetCapturedStderr();
    EXPECT_NE(said.find("Sync failed on " + failing.path().string() + "/rec.ts: Input/output error\n"), std::string::npos)
        << said.substr(0, 2000);
    EXPECT_EQ(count(said, "Removed output with ID: 1\n"), 1u);
}
