#include "core/DeviceState.h"
#include "core/StartupConfig.h"

#include <gtest/gtest.h>

#include "TestFiles.h"

#include <sys/resource.h>

#include <csignal>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

StartupRecord unusualRecord() {
    StartupRecord r;
    r.downConvert = true;
    r.inputMode = kModeHp59;
    r.standard = kModeNtsc;
    r.analogAudio = true;
    r.aesAudio = false;
    r.composite = true;
    r.tcBurnIn = -7;
    r.logoBurning = true;
    r.spareSetting = -123456;
    r.palMode = false;
    r.audioChannel = -1;
    return r;
}

void expectDefaults(const DeviceState& state) {
    EXPECT_EQ(load(state.inputMode), kModePal);
    EXPECT_FALSE(load(state.downConvert));
    EXPECT_TRUE(load(state.palMode));
    EXPECT_FALSE(load(state.composite));
    EXPECT_FALSE(load(state.analogAudio));
    EXPECT_FALSE(load(state.aesAudio));
    EXPECT_EQ(load(state.tcBurnIn), 0);
    EXPECT_FALSE(load(state.logoBurning));
    EXPECT_EQ(load(state.spareSetting), 0);
    EXPECT_EQ(load(state.audioChannel), 0);
    EXPECT_EQ(state.filePrefix.get(), "recPAL");
}

}  // namespace

TEST(StartupConfig, ByteLayoutMatchesAHandBuiltRecord) {
    StartupBytes bytes{};
    bytes[0] = 1;                                                // down-conversion
    bytes[4] = '9'; bytes[5] = '5'; bytes[6] = 'p'; bytes[7] = 'h';  // 'hp59' little-endian
    bytes[8] = 'c'; bytes[9] = 's'; bytes[10] = 't'; bytes[11] = 'n';  // 'ntsc'
    bytes[12] = 1;                                               // analogue
    bytes[14] = 1;                                               // composite
    bytes[16] = 0xF9; bytes[17] = 0xFF; bytes[18] = 0xFF; bytes[19] = 0xFF;  // -7
    bytes[20] = 1;                                               // logo
    bytes[24] = 0xC0; bytes[25] = 0x1D; bytes[26] = 0xFE; bytes[27] = 0xFF;  // -123456
    bytes[28] = 0;                                               // NTSC
    bytes[29] = 0xFF;                                            // pair -1

    EXPECT_EQ(encodeStartupRecord(unusualRecord()), bytes);
    EXPECT_EQ(decodeStartupRecord(bytes), unusualRecord());

    // Padding is ignored on reading.
    bytes[1] = bytes[2] = bytes[3] = bytes[15] = bytes[21] = bytes[30] = bytes[31] = 0xAA;
    EXPECT_EQ(decodeStartupRecord(bytes), unusualRecord());
}

TEST(StartupConfig, EveryFieldSurvivesAWriteAndARead) {
    TempDir dir;
    const std::string path = dir / "startup.cfg";
    ASSERT_TRUE(writeStartupConfig(path, unusualRecord()));
    EXPECT_EQ(fs::file_size(path), 32u);
    EXPECT_EQ(readStartupConfig(path), unusualRecord());
    // Nothing but the record is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    DeviceState state;
    applyStartupRecord(readStartupConfig(path), state);
    StartupRecord back = startupRecordOf(state);
    EXPECT_EQ(back, unusualRecord());
    // Down-converted 720p on NTSC records standard definition.
    EXPECT_EQ(state.filePrefix.get(), "recNTSC");
}

TEST(StartupConfig, MissingOrShortFileGivesTheDefaults) {
    TempDir dir;
    DeviceState state;
    store(state.inputMode, kModeHi50);
    applyStartupRecord(readStartupConfig(dir / "missing.cfg"), state);
    expectDefaults(state);

    const std::string shortFile = dir / "short.cfg";
    std::string bytes(31, '\1');
    writeFile(shortFile, bytes);
    DeviceState other;
    store(other.logoBurning, true);
    applyStartupRecord(readStartupConfig(shortFile), other);
    expectDefaults(other);
    EXPECT_EQ(readFile(shortFile), bytes);  // kept as it was
}

TEST(StartupConfig, UnknownModeFallsBackToPal) {
    TempDir dir;
    StartupRecord damaged = unusualRecord();
    damaged.inputMode = 0x12345678;
    damaged.downConvert = false;
    const std::string path = dir / "startup.cfg";
    writeFile(path, std::string(reinterpret_cast<const char*>(encodeStartupRecord(damaged).data()), 32));

    testing::internal::CaptureStderr();
    DeviceState state;
    applyStartupRecord(readStartupConfig(path), state);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(load(state.inputMode), kModePal);
    EXPECT_EQ(state.filePrefix.get(), "recPAL");
    EXPECT_TRUE(load(state.logoBurning));  // the other fields stand
}

TEST(StartupConfig, FilePrefixFollowsModeAndDownConversion) {
    EXPECT_EQ(filePrefixFor(kModeHi50, false, true), "rec1080");
    EXPECT_EQ(filePrefixFor(kModeHi59, false, true), "rec1080");
    EXPECT_EQ(filePrefixFor(kModeHp50, false, false), "rec720");
    EXPECT_EQ(filePrefixFor(kModeHp59, false, true), "rec720");
    EXPECT_EQ(filePrefixFor(kModeNtsc, false, true), "recNTSC");
    EXPECT_EQ(filePrefixFor(kModePal, false, false), "recPAL");
    // Down-conversion: the PAL flag decides, whatever the input mode.
    EXPECT_EQ(filePrefixFor(kModeHi50, true, false), "recNTSC");
    EXPECT_EQ(filePrefixFor(kModeHi59, true, true), "recPAL");
    EXPECT_EQ(filePrefixFor(0x12345678, false, true), "");
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
    const bool written = writeStartupConfig(path, unusualRecord());
    const std::string messages = testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_FALSE(written);
    EXPECT_EQ(messages, "Error writing config\n");
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    // A folder that does not exist.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(writeStartupConfig(dir / "no/such/startup.cfg", StartupRecord{}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error writing config\n");
}
