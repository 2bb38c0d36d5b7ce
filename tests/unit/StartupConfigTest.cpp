#include "core/DeviceState.h"
#include "core/StartupConfig.h"
#include "core/StartupStore.h"

#include "platform/Files.h"

#include <gtest/gtest.h>

#include "TestFiles.h"

#include <sys/resource.h>

#include <csignal>
#include <thread>
#include <vector>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const StartupRecord kUnusual{.downConvert = true, .inputMode = kModeHp59, .standard = kModeNtsc, .analogAudio = true,
                             .aesAudio = false, .composite = true, .tcBurnIn = -7, .logoBurning = true,
                             .spareSetting = -123456, .palMode = false, .audioChannel = 3};

size_t filesIn(const TempDir& dir) {
    return size_t(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

// What is read from path, applied over settings that are not the defaults: the record and the file prefix.
std::pair<StartupRecord, std::string> applied(const std::string& path) {
    DeviceState state;
    store(state.inputMode, kModeHi50);
    store(state.logoBurning, true);
    applyStartupRecord(readStartupConfig(path), state);
    return {startupRecordOf(captureSettingsOf(state), state), state.filePrefix.get()};
}

}  // namespace

TEST(StartupConfig, ByteLayoutMatchesAHandBuiltRecordAndSurvivesAWriteAndARead) {
    StartupBytes bytes{1, 0, 0, 0, '9', '5', 'p', 'h', 'c', 's', 't', 'n',  // down-conversion, 'hp59', 'ntsc' LE
                       1, 0, 1, 0, 0xF9, 0xFF, 0xFF, 0xFF,                    // analogue, composite, tcb -7
                       1, 0, 0, 0, 0xC0, 0x1D, 0xFE, 0xFF,                    // logo, spare -123456
                       0, 3, 0, 0};                                           // NTSC, pair 3, padding
    EXPECT_EQ(encodeStartupRecord(kUnusual), bytes);
    EXPECT_EQ(decodeStartupRecord(bytes), kUnusual);
    bytes[1] = bytes[2] = bytes[3] = bytes[15] = bytes[21] = bytes[30] = bytes[31] = 0xAA;
    EXPECT_EQ(decodeStartupRecord(bytes), kUnusual) << "padding is ignored on reading";

    TempDir dir;
    const std::string path = dir / "startup.cfg";
    ASSERT_TRUE(writeStartupConfig(path, kUnusual));
    EXPECT_EQ(fs::file_size(path), 32u);
    EXPECT_EQ(readStartupConfig(path), kUnusual);
    EXPECT_EQ(filesIn(dir), 1u) << "nothing but the record is left in the folder";

    // Down-converted 720p on NTSC records standard definition.
    EXPECT_EQ(applied(path), std::pair(kUnusual, std::string("recNTSC")));
}

TEST(StartupConfig, MissingShortOrDamagedFileGivesDefaults) {
    TempDir dir;
    const auto defaults = std::pair(StartupRecord{}, std::string("recPAL"));
    EXPECT_EQ(applied(dir / "missing.cfg"), defaults);
    const std::string shortFile = dir / "short.cfg", bytes(31, '\1');
    writeFile(shortFile, bytes);
    EXPECT_EQ(applied(shortFile), defaults);
    EXPECT_EQ(readFile(shortFile), bytes);  // kept as it was

    // An unknown mode can only come from a damaged file: PAL; a pair outside
    // 0-3 is the nearest one, the pair recorded; the other fields stand.
    StartupRecord damaged = kUnusual;
    damaged.inputMode = 0x12345678, damaged.downConvert = false, damaged.audioChannel = 8;
    const std::string path = dir / "startup.cfg";
    writeFile(path, std::string(reinterpret_cast<const char*>(encodeStartupRecord(damaged).data()), 32));
    testing::internal::CaptureStderr();
    const auto result = applied(path);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    damaged.inputMode = kModePal, damaged.audioChannel = 3;
    EXPECT_EQ(result, std::pair(damaged, std::string("recPAL")));
    damaged.audioChannel = -1;
    writeFile(path, std::string(reinterpret_cast<const char*>(encodeStartupRecord(damaged).data()), 32));
    EXPECT_EQ(readStartupConfig(path).audioChannel, 0);
}

TEST(StartupConfig, FilePrefixFollowsModeAndDownConversion) {
    // Down-conversion: the standard recorded, from the input's rate, whatever the PAL flag says.
    const std::tuple<uint32_t, bool, bool, const char*> cases[] = {
        {kModeHi50, false, true, "rec1080"}, {kModeHp59, false, true, "rec720"}, {kModeHi50, true, false, "recPAL"},
        {kModeHi59, true, true, "recNTSC"}};
    for (auto [mode, down, pal, prefix] : cases) EXPECT_EQ(filePrefixFor(mode, down, pal), prefix) << mode;
}

TEST(StartupConfig, TemporariesLeftByAKilledWriteAreRemovedAndNothingElse) {
    TempDir dir;
    for (const char* name : {"startup.cfg", "startup.cfg.Ab3dE9", "startup.cfg.longer7", "other.cfg.abcdef"})
        writeFile(dir / name, "x");
    EXPECT_EQ(qva::removeLeftoverTemporaries(dir / "startup.cfg"), 1);
    for (const char* name : {"startup.cfg", "startup.cfg.longer7", "other.cfg.abcdef"})
        EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;
}

TEST(StartupConfig, FailedWriteKeepsTheOldFile) {
    TempDir dir;
    const std::string path = dir / "startup.cfg";
    ASSERT_TRUE(writeStartupConfig(path, StartupRecord{}));
    const std::string before = readFile(path);

    // A disk that takes no more than 25 bytes: the 32-byte write fails part-way
    // (the captured message, 21 bytes, still fits).
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 25;
    setrlimit(RLIMIT_FSIZE, &small);
    testing::internal::CaptureStderr();
    const bool written = writeStartupConfig(path, kUnusual);
    const std::string messages = testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_FALSE(written);
    EXPECT_EQ(messages, "Error writing config\n");
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(filesIn(dir), 1u);
}

TEST(StartupStore, WritesFromManyThreadsEndWithTheLatestSettings) {
    TempDir dir;
    DeviceState state;
    StartupStore store(dir / "startup.cfg", CaptureSettings{.inputMode = kModeHp50});
    // The panel, the web and the supervisor each change a setting and save;
    // no write may land after a later one and leave older settings behind.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                if (t == 0) {
                    store.accept(CaptureSettings{.inputMode = i % 2 ? kModeHi50 : kModeHp50}, state);
                } else {
                    state.tcBurnIn.fetch_add(1);
                    EXPECT_TRUE(store.save(state));
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const StartupRecord stored = readStartupConfig(dir / "startup.cfg");
    EXPECT_EQ(stored.tcBurnIn, 60);
    EXPECT_EQ(stored.inputMode, kModeHi50);
    EXPECT_EQ(store.accepted(), CaptureSettings{.inputMode = kModeHi50});
    EXPECT_EQ(filesIn(dir), 1u);
}
