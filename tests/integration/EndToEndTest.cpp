// The box as its operators use it: the whole recorder in a sandbox on the
// simulated card, driven through the command socket and the front panel,
// and every recording read back as a player and a stream monitor would.
#include "Sandbox.h"

#include "core/StartupConfig.h"
#include "encode/EncoderMode.h"
#include "encode/TimeCodeBurner.h"

#include <gtest/gtest.h>

#include "LoopDrive.h"
#include "SocketClient.h"
#include "StreamProbe.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <thread>

using namespace std::chrono_literals;
using testing_support::readFile;
using testing_support::writeFile;
namespace fs = std::filesystem;

namespace {

// label -> rec flag, from the drive report
// ("INFO#USB#0#ntfs=0;rec=1;size=..;label=USB1;free space=..;time left=..#USB#1#...").
std::map<std::string, bool> recFlags(const std::string& report) {
    std::map<std::string, bool> flags;
    for (size_t at = report.find("#USB#"); at != std::string::npos; at = report.find("#USB#", at + 5)) {
        const size_t rec = report.find(";rec=", at), label = report.find(";label=", at);
        if (rec == std::string::npos || label == std::string::npos) break;
        flags[report.substr(label + 7, report.find(';', label + 7) - label - 7)] = report[rec + 5] == '1';
    }
    return flags;
}

struct Box {
    Sandbox sandbox;
    std::unique_ptr<RecorderProcess> recorder;

    void configure(const StartupRecord& record) {
        const StartupBytes bytes = encodeStartupRecord(record);
        writeFile(sandbox.path("/QVA/startup.cfg"), std::string(bytes.begin(), bytes.end()));
    }
    void addDrive(const std::string& label) { fs::create_directories(sandbox.path("/media/" + label)); }
    std::string ask(const std::string& line) const { return SocketClient::ask(sandbox.path("/tmp/domain_socket"), line); }
    std::map<std::string, bool> drives() const { return recFlags(ask("GET#USB#")); }

    // Starts the recorder; returns once it streams, answers and lists every drive.
    void start(size_t driveCount) {
        recorder = std::make_unique<RecorderProcess>(sandbox);
        ASSERT_TRUE(recorder->waitForErrors("Flushing stream\n", 30s)) << recorder->errors();
        ASSERT_TRUE(within(30s, [&] { return drives().size() == driveCount; })) << ask("GET#USB#");
    }
    // Capture passes so far (the simulated card counts its stream starts).
    int cardStarts() const {
        const std::string state = readFile(sandbox.path("/sim/card"));
        const size_t at = state.find("starts ");
        return at == std::string::npos ? 0 : std::atoi(state.c_str() + at + 7);
    }
    std::string file(const std::string& drive, const std::string& name) const {
        return sandbox.path("/media/" + drive + "/" + name);
    }
};

struct Playable {
    uint32_t mode = kModePal;
    bool pal = true;
    double minSeconds = 1.5;
    bool cutShort = false;  // the process was killed: the last frame may be incomplete
    int splices = 0;        // capture restarts inside the recording
    int bandTop = 0, bandLines = 0;  // luma lines of every picture to keep
};

// Every video and audio access unit is in the stream, by the PCR, a good
// while before its decoding time: what a hardware decoder or a playout
// server following the buffer model needs.
void expectBuffered(const TransportCheck& ts, const std::string& what) {
    for (const auto* units : {&ts.video, &ts.audio}) {
        const char* kind = units == &ts.video ? "video" : "audio";
        EXPECT_GT(units->count, 0) << what << " " << kind;
        EXPECT_EQ(units->late, 0) << what << " " << kind << " units late, margin " << units->minMargin << " s";
        EXPECT_GE(units->minMargin, 0.2) << what << " " << kind << " margin, up to " << units->maxMargin << " s";
    }
}

// A recording as a player sees it: the mode's stream parameters, decoded to
// its end, decoder complaints only before the first picture (a recording
// joins the running stream) and that picture within the first second.
ProbedStream expectPlayable(const std::string& path, const Playable& want) {
    std::string bytes = readFile(path);
    if (!want.cutShort) {
        EXPECT_EQ(bytes.size() % 188, 0u) << path;
    }
    bytes.resize(bytes.size() / 188 * 188);
    const std::string whole = path + ".whole";
    writeFile(whole, bytes);
    const ProbedStream s = probeStream(whole, want.bandTop, want.bandLines);
    fs::remove(whole);
    const EncoderMode m = encoderModeFor(want.mode);
    EXPECT_TRUE(s.opened) << path;
    EXPECT_EQ(s.video.codec, "h264");
    EXPECT_EQ(s.video.width, m.width);
    EXPECT_EQ(s.video.height, m.height);
    EXPECT_EQ(int64_t(s.video.rateNum) * m.fpsDen, int64_t(m.fpsNum) * s.video.rateDen);
#ifdef QVA_SLOW_BUILD
    EXPECT_GT(s.video.frames, 0) << path;
#else
    EXPECT_GE(s.video.frames, int(want.minSeconds * m.fpsNum / m.fpsDen)) << path;
#endif
    if (m.progressive) {
        EXPECT_EQ(s.video.interlacedFrames, 0);
    } else {
        EXPECT_EQ(s.video.interlacedFrames, s.video.frames);
        EXPECT_EQ(s.video.topFieldFirstFrames, want.pal ? s.video.frames : 0);
    }
    EXPECT_EQ(s.audio.codec, "mp2");
    EXPECT_EQ(s.audio.sampleRate, 48000);
    EXPECT_EQ(s.audio.channels, 2);
    EXPECT_NEAR(s.audio.duration, s.video.duration, 1.2);
    for (size_t i = 0; i < s.complaints.size(); ++i) {  // from byte 0 on, where the file begins with PAT, PMT, keyframe
        const bool atCut = want.cutShort && s.complaintFrames[i] >= s.video.frames - 2;
        EXPECT_TRUE(atCut) << path << ": after picture " << s.complaintFrames[i] << ": " << s.complaints[i];
    }
    if (!s.video.pts.empty()) {
        const int64_t first = *std::min_element(s.video.pts.begin(), s.video.pts.end());
        EXPECT_LE(double(s.video.firstPicturePts - first) / 90000, 1.0 + double(m.fpsDen) / m.fpsNum) << path;
    }
    const TransportCheck ts = checkTransport(bytes);
    EXPECT_EQ(ts.syncErrors, 0) << path;
    EXPECT_LE(ts.continuityErrors, 4 * want.splices) << path;  // PAT, PMT, video, audio start again
    EXPECT_EQ(ts.firstPat, 0) << path;
    EXPECT_LE(ts.maxPatGap, 0.5);
    EXPECT_LE(ts.maxPmtGap, 0.5);
    EXPECT_LE(ts.maxPcrGap, 0.040 + 1e-6);
    expectBuffered(ts, path);
    return s;
}

double secondsOf(const std::vector<int16_t>& samples) { return double(samples.size()) / 48000; }
std::vector<int16_t> slice(const std::vector<int16_t>& samples, double from, double to) {
    const auto at = [&](double t) { return samples.begin() + std::clamp<ptrdiff_t>(ptrdiff_t(t * 48000), 0, ptrdiff_t(samples.size())); };
    return {at(from), at(to)};
}

// The time code burnt into each decoded picture, read back against the digit
// font as frames since midnight (base frames a second), or -1 where it does
// not read as hh:mm:ss:ff.
std::vector<long> burntTimecodes(const ProbedStream& s, const std::string& font, int glyphWidth,
                                 int glyphHeight, int x, long base) {
    std::vector<long> codes;
    for (const std::string& band : s.video.bands) {
        int glyph[11];
        for (int k = 0; k < 11; ++k) {
            long bestDifference = -1;
            for (int g = 0; g < 11; ++g) {
                long difference = 0;
                for (int r = 0; r < glyphHeight; ++r)
                    for (int j = 0; j < glyphWidth; ++j)
                        difference += std::abs(int(uint8_t(band[size_t(r * s.video.width + x + k * glyphWidth + j)])) -
                                               int(uint8_t(font[size_t(r * 11 * glyphWidth + g * glyphWidth + j)])));
                if (bestDifference < 0 || difference < bestDifference) bestDifference = difference, glyph[k] = g;
            }
        }
        bool readable = glyph[2] == 10 && glyph[5] == 10 && glyph[8] == 10;
        long value = 0;
        for (int k : {0, 1, 3, 4, 6, 7, 9, 10}) readable = readable && glyph[k] < 10;
        const long parts[4] = {glyph[0] * 10 + glyph[1], glyph[3] * 10 + glyph[4], glyph[6] * 10 + glyph[7],
                               glyph[9] * 10 + glyph[10]};
        value = ((parts[0] * 60 + parts[1]) * 60 + parts[2]) * base + parts[3];
        codes.push_back(readable ? value : -1);
    }
    return codes;
}

struct ModeCase {
    uint32_t mode;
    const char* name;
    bool pal;
    const char* file;
};
void PrintTo(const ModeCase& c, std::ostream* out) { *out << c.name; }

class RecordsEveryInputMode : public testing::TestWithParam<ModeCase> {};

}  // namespace

TEST_P(RecordsEveryInputMode, ThroughTheSocketToADecodableFile) {
    const ModeCase c = GetParam();
    Box box;
    StartupRecord record;
    record.inputMode = c.mode;
    record.palMode = c.pal;
    record.tcBurnIn = c.pal ? 1 : 2;  // top, bottom
    box.configure(record);
    box.addDrive("USB1");
    box.start(1);
    ASSERT_EQ(box.ask("SET#USB#-1#REC#"), "OK");
    EXPECT_EQ(box.drives()["USB1"], true);
    std::this_thread::sleep_for(3s);
    ASSERT_EQ(box.ask("SET#USB#-1#STP#"), "OK");
    ASSERT_TRUE(box.recorder->waitForErrors("Syncing: ", 10s));

    const TimecodeLayout layout = *timecodeLayoutFor(c.mode);
    const int glyphWidth = layout.hd ? 21 : 14, glyphHeight = layout.hd ? 27 : 18;
    const ProbedStream s = expectPlayable(box.file("USB1", c.file),
                                          {.mode = c.mode, .pal = c.pal,
                                           .bandTop = c.pal ? layout.topLine : layout.bottomLine,
                                           .bandLines = glyphHeight});
    EXPECT_GT(toneLevel(s.audio.left, 500), 0.1);  // pair 0: channels 1 and 2
    EXPECT_GT(toneLevel(s.audio.right, 1000), 0.1);
    EXPECT_EQ(box.cardStarts(), 1);

    // The burnt-in time code is the card's running one (from 10:00:00:00), a frame further each picture.
    const EncoderMode m = encoderModeFor(c.mode);
    const long base = (m.fpsNum + m.fpsDen - 1) / m.fpsDen;
    const std::string font = readFile(box.sandbox.path(layout.hd ? "/QVA/numbersHD.dat" : "/QVA/numbersSD.dat"));
    ASSERT_EQ(font.size(), size_t(11 * glyphWidth * glyphHeight)) << "the sandbox's digit font";
    const std::vector<long> codes = burntTimecodes(s, font, glyphWidth, glyphHeight, layout.x, base);
    ASSERT_EQ(codes.size(), size_t(s.video.frames));
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(std::count(codes.begin(), codes.end(), -1), 0);
    EXPECT_GE(codes.front(), 10 * 3600 * base) << "never 00:00:00:00";
    size_t steps = 0;
    for (size_t i = 1; i < codes.size(); ++i) {
#ifdef QVA_SLOW_BUILD
        steps += codes[i] > codes[i - 1];  // frames may be dropped here
#else
        steps += codes[i] == codes[i - 1] + 1;
#endif
    }
    EXPECT_EQ(steps, codes.size() - 1) << "first " << codes.front() << ", last " << codes.back();
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, RecordsEveryInputMode,
                         testing::Values(ModeCase{kModePal, "pal", true, "recPAL.ts"},
                                         ModeCase{kModeNtsc, "ntsc", false, "recNTSC.ts"},
                                         ModeCase{kModeHp50, "hp50", true, "rec720.ts"},
                                         ModeCase{kModeHp59, "hp59", false, "rec720.ts"},
                                         ModeCase{kModeHi50, "Hi50", true, "rec1080.ts"},
                                         ModeCase{kModeHi59, "Hi59", false, "rec1080.ts"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EndToEnd, SettingsAreRefusedWhileRecordingAndRestartTheCaptureWhileIdle) {
    Box box;
    box.addDrive("USB1");
    PanelSimulator panel(box.sandbox);
    box.start(1);  // without a startup configuration: the defaults
    EXPECT_EQ(readFile(box.sandbox.path("/sim/card")), "mode 'pal '\nconversion 'none'\naudio 'embd'\nvideo 1\nstarts 1\n");
    EXPECT_EQ(box.recorder->errors().rfind("Size 64 \n", 0), 0u);
    ASSERT_TRUE(within(10s, [&] { return panel.screenText().find('#') != std::string::npos; }));
    std::this_thread::sleep_for(1500ms);  // the button thread opens the device a second after start

    // Recording: the capture settings are refused, the audio pair from the panel is not.
    ASSERT_EQ(box.ask("SET#USB#-1#REC#"), "OK");
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(box.ask("SET#IN#0#68703530#"), "ERR");
    EXPECT_EQ(box.ask("SET#AUDIO#0#AES#"), "ERR");
    for (const char* button : {"HOME", "DOWN", "DOWN", "DOWN", "OK", "DOWN", "OK"}) {  // info menu, Audio CH
        panel.press(button);
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_TRUE(within(5s, [&] { return box.ask("GET#INFO#").find(";audio-channel=1;") != std::string::npos; }));
    const std::string config = readFile(box.sandbox.path("/QVA/startup.cfg"));
    ASSERT_EQ(config.size(), StartupRecord::kSize);
    EXPECT_EQ(config[29], 1) << "the OK press stores the pair";
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(box.ask("SET#USB#-1#STP#"), "OK");
    EXPECT_EQ(box.cardStarts(), 1) << "nothing restarted the capture";

    const ProbedStream first = expectPlayable(box.file("USB1", "recPAL.ts"), {.minSeconds = 2});
    const double length = secondsOf(first.audio.left);
    EXPECT_GT(toneLevel(slice(first.audio.left, 0, 1), 500), 0.1);  // pair 0 before the change
    EXPECT_GT(toneLevel(slice(first.audio.left, length - 1, length), 1500), 0.1);  // pair 1 after
    EXPECT_LT(toneLevel(slice(first.audio.left, length - 1, length), 500), 0.02);

    // Idle: a change of input restarts the capture in the new mode.
    ASSERT_EQ(box.ask("SET#IN#0#68703530#OUT#0#0#"), "OK");
    ASSERT_TRUE(within(20s, [&] { return readFile(box.sandbox.path("/sim/card")).find("mode 'hp50'") != std::string::npos; }));
    EXPECT_EQ(box.cardStarts(), 2);

    // A recording started while a restart is under way goes on across it.
    ASSERT_EQ(box.ask("SET#AUDIO#0#EMB#USB#-1#REC#"), "OK");
    ASSERT_TRUE(within(20s, [&] { return box.cardStarts() == 3; }));
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(box.drives()["USB1"], true);
    ASSERT_EQ(box.ask("SET#USB#-1#STP#"), "OK");
    expectPlayable(box.file("USB1", "rec720.ts"), {.mode = kModeHp50, .minSeconds = 1, .splices = 1});
}

namespace {

// A small tmpfs mounted on a drive folder, unmounted with the object.
struct SmallDrive {
    std::string path;
    bool mounted = false;
    SmallDrive(std::string where, const char* options) : path(std::move(where)) {
        fs::create_directories(path);
        mounted = ::mount("qva-test", path.c_str(), "tmpfs", 0, options) == 0;
    }
    ~SmallDrive() {
        if (mounted) ::umount2(path.c_str(), MNT_DETACH);
    }
};

}  // namespace

TEST(EndToEnd, ThreeDrivesOneFillsUpAndOneIsPulled) {
    Box box;
    box.addDrive("USB1");
    box.addDrive("USB2");
    // 64 MiB with 51 MiB and 100 KiB free: full (50 MiB or less) after about 100 KiB.
    SmallDrive small(box.sandbox.path("/media/SMALL"), "size=64m");
    if (!small.mounted) GTEST_SKIP() << "mounting a tmpfs needs root";
    writeFile(small.path + "/filler", std::string((13 << 20) - (100 << 10), 'x'));
    box.start(3);

    ASSERT_EQ(box.ask("SET#USB#-1#REC#"), "OK");
    EXPECT_EQ(box.drives(), (std::map<std::string, bool>{{"SMALL", true}, {"USB1", true}, {"USB2", true}}));
    std::this_thread::sleep_for(2s);
    fs::rename(box.sandbox.path("/media/USB2"), box.sandbox.path("/pulled"));
    ASSERT_TRUE(box.recorder->waitForErrors("break Freesize\n", 60s)) << box.recorder->errors();
    ASSERT_TRUE(within(30s, [&] { return box.drives() == std::map<std::string, bool>{{"SMALL", false}, {"USB1", true}}; }))
        << box.ask("GET#USB#");
    ASSERT_TRUE(within(30s, [&] { return box.recorder->errors().find("Could not write to device") != std::string::npos &&
                                         box.recorder->errors().find("Tar bort dir: " + box.sandbox.path("/media/USB2")) != std::string::npos; }))
        << box.recorder->errors();
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(box.ask("SET#USB#-1#STP#"), "OK");

    expectPlayable(box.file("USB1", "recPAL.ts"), {.minSeconds = 2});
    for (const std::string& path : {small.path + "/recPAL.ts", box.sandbox.path("/pulled/recPAL.ts")}) {
        const std::string bytes = readFile(path);
        EXPECT_GT(bytes.size(), 0u) << path;
        EXPECT_EQ(bytes.size() % 188, 0u) << path;
        EXPECT_EQ(checkTransport(bytes).syncErrors, 0) << path;
        EXPECT_LT(bytes.size(), fs::file_size(box.file("USB1", "recPAL.ts")));
    }
    EXPECT_TRUE(box.recorder->running());
}

TEST(EndToEnd, KilledWhileRecordingLeavesPlayableFilesAndAWholeConfiguration) {
    Box box;
    box.addDrive("USB1");
    box.start(1);
    // Input and recording format: written to the startup configuration.
    ASSERT_EQ(box.ask("SET#IN#0#68703530#OUT#0#0#"), "OK");
    ASSERT_TRUE(within(20s, [&] { return box.cardStarts() == 2; }));
    ASSERT_EQ(box.ask("SET#USB#-1#REC#"), "OK");

    // The burn-in setting rewrites the configuration while recording; kill in the middle of that.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) box.ask("SET#TCB#0#" + std::to_string(i % 2) + "#");
    });
    std::this_thread::sleep_for(3s);
    box.recorder.reset();  // SIGKILL
    stop = true;
    writer.join();

    const std::string config = readFile(box.sandbox.path("/QVA/startup.cfg"));
    ASSERT_EQ(config.size(), StartupRecord::kSize);
    StartupBytes bytes;
    std::copy(config.begin(), config.end(), bytes.begin());
    const StartupRecord stored = decodeStartupRecord(bytes);
    EXPECT_EQ(stored.inputMode, kModeHp50);
    EXPECT_FALSE(stored.downConvert);
    EXPECT_TRUE(stored.tcBurnIn == 0 || stored.tcBurnIn == 1) << stored.tcBurnIn;
    expectPlayable(box.file("USB1", "rec720.ts"), {.mode = kModeHp50, .cutShort = true});

    // Started again, the stored settings are in force, no temporary of the killed write is left
    // and a new recording gets its own file.
    writeFile(box.sandbox.path("/QVA/startup.cfg.K1ll3d"), "half");
    box.start(1);
    EXPECT_FALSE(fs::exists(box.sandbox.path("/QVA/startup.cfg.K1ll3d")));
    EXPECT_NE(readFile(box.sandbox.path("/sim/card")).find("mode 'hp50'\nconversion 'none'"), std::string::npos);
    EXPECT_NE(box.ask("GET#INFO#").find(";tcb=" + std::to_string(stored.tcBurnIn) + ";"), std::string::npos);
    ASSERT_EQ(box.ask("SET#USB#-1#REC#"), "OK");
    EXPECT_TRUE(within(10s, [&] { return fs::exists(box.file("USB1", "rec720-1.ts")); }));
}

TEST(EndToEnd, RecordingGoesOnAcrossThreeSecondsWithoutSignal) {
    Box box;
    box.addDrive("USB1");
    box.start(1);
    ASSERT_EQ(box.ask("SET#USB#-1#REC#"), "OK");
    std::this_thread::sleep_for(2s);
    writeFile(box.sandbox.path("/sim/no-signal"), "");
    ASSERT_TRUE(box.recorder->waitForErrors("No Input detected!\n", 5s));
    std::this_thread::sleep_for(3s);
    const uintmax_t during = fs::file_size(box.file("USB1", "recPAL.ts"));
    fs::remove(box.sandbox.path("/sim/no-signal"));
    ASSERT_TRUE(within(10s, [&] { return fs::file_size(box.file("USB1", "recPAL.ts")) > during + 50000; }));
    // The card is flushed once the signal is back; the loss is reported once.
    const std::string errors = box.recorder->errors();
    const size_t lost = errors.find("No Input detected!\n");
    EXPECT_NE(errors.find("Flushing stream\n", lost), std::string::npos);
    EXPECT_EQ(lost, errors.rfind("No Input detected!\n"));
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(box.drives()["USB1"], true);
    ASSERT_EQ(box.ask("SET#USB#-1#STP#"), "OK");
    expectPlayable(box.file("USB1", "recPAL.ts"), {.minSeconds = 3});
    EXPECT_EQ(box.cardStarts(), 1);
}

TEST(EndToEnd, PanelAndSocketTogetherDoNotDeadlock) {
    Box box;
    box.addDrive("USB1");
    box.addDrive("USB2");
    PanelSimulator panel(box.sandbox);
    box.start(2);
    std::this_thread::sleep_for(1500ms);

    std::atomic<bool> stop{false};
    std::thread web([&] {
        const char* requests[] = {"GET#INFO#", "GET#USB#", "SET#USB#-1#REC#", "GET#NET#", "SET#TCB#0#1#",
                                  "SET#USB#-1#STP#", "SET#CHN#0#2#", "SET#BURN#0#0#"};
        for (size_t i = 0; !stop; ++i) box.ask(requests[i % std::size(requests)]);
    });
    std::mt19937 random(7);
    const char* buttons[] = {"UP", "DOWN", "OK", "BACK", "HOME"};
    for (int i = 0; i < 150; ++i) {
        panel.press(buttons[random() % 5]);
        std::this_thread::sleep_for(40ms);
    }
    stop = true;
    web.join();

    // Every thread still moves: the socket answers, and the buttons draw and act.
    SocketClient client(box.sandbox.path("/tmp/domain_socket"), 10s);
    ASSERT_TRUE(client.send("GET#INFO#\r\n"));
    EXPECT_EQ(client.reply().rfind("INFO#Device Information#0#", 0), 0u);
    const auto allDrives = [&](bool recording) {
        return within(20s, [&] {
            const auto drives = box.drives();
            return drives.size() == 2 && drives.at("USB1") == recording && drives.at("USB2") == recording;
        });
    };
    box.ask("SET#USB#-1#STP#");
    ASSERT_TRUE(allDrives(false)) << box.ask("GET#USB#");
    panel.press("HOME");
    std::this_thread::sleep_for(500ms);
    const std::string home = panel.screenText();
    panel.press("DOWN");
    EXPECT_TRUE(within(5s, [&] { return panel.screenText() != home; }));
    for (const char* button : {"DOWN", "OK", "OK"}) {  // RECORD, START ALL
        panel.press(button);
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_TRUE(allDrives(true)) << box.ask("GET#USB#");
    for (const char* button : {"DOWN", "OK"}) {  // STOP ALL
        panel.press(button);
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_TRUE(allDrives(false)) << box.ask("GET#USB#");
    EXPECT_TRUE(box.recorder->running());
}

namespace {

// A recording and its retry pieces, in order: name, name_N.ts by N.
std::string piecesOf(const fs::path& drive, const std::string& name) {
    std::map<int, std::string> pieces;
    for (const auto& entry : fs::directory_iterator(drive)) {
        const std::string file = entry.path().filename().string();
        if (file == name) pieces[0] = readFile(entry.path());
        else if (file.rfind(name + "_", 0) == 0 && entry.is_regular_file()) pieces[std::atoi(file.c_str() + name.size() + 1)] = readFile(entry.path());
    }
    std::string whole;
    for (const auto& [number, bytes] : pieces) whole += bytes;
    return whole;
}

// Asks GET#INFO# four times a second on its own thread and keeps the longest wait.
struct SocketWatch {
    explicit SocketWatch(const Box& box)
        : thread([this, &box] {
              while (!stop) {
                  const auto asked = std::chrono::steady_clock::now();
                  const std::string reply = box.ask("GET#INFO#");
                  const auto waited = std::chrono::steady_clock::now() - asked;
                  if (reply.rfind("INFO#", 0) != 0) {
                      ++unanswered;
                      std::lock_guard guard(lock);
                      wrong = reply;
                  }
                  longest = std::max<long>(longest, long(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
                  std::this_thread::sleep_for(250ms);
              }
          }) {}
    ~SocketWatch() { end(); }
    void end() {
        stop = true;
        if (thread.joinable()) thread.join();
    }
    std::atomic<bool> stop{false};
    std::atomic<int> unanswered{0};
    std::mutex lock;
    std::string wrong;  // the last reply that was no report
    std::atomic<long> longest{0};
    std::thread thread;
};

}  // namespace

TEST(EndToEnd, StalledSlowAndSplittingDrivesHoldBackNoOtherAndNoNameLeadsOffTheDrive) {
    Box box;
    box.addDrive("USB1");
    box.addDrive("HOSTILE");
    using testing_support::LoopDrive;
    LoopDrive stalled(box.sandbox.path("/stalled.img"), box.sandbox.path("/media/STALLED"));
    if (!stalled.mounted()) GTEST_SKIP() << "loop-mounted drives need root";
    LoopDrive slow(box.sandbox.path("/slow.img"), box.sandbox.path("/media/SLOW"));
    ASSERT_TRUE(slow.mounted());
    // Retry names that lead off the drive or would block whoever opens them.
    const fs::path hostile = box.sandbox.path("/media/HOSTILE");
    fs::create_symlink(box.sandbox.path("/outside.ts"), hostile / "recPAL.ts_1.ts");
    ASSERT_EQ(::mkfifo((hostile / "recPAL.ts_2.ts").c_str(), 0600), 0);
    box.start(4);
    // Every file refuses to grow past 128 KiB, as FAT32 does at 4 GiB: recordings go on in pieces.
    const rlimit pieceSize{128 << 10, 128 << 10};
    ASSERT_EQ(::prlimit(box.recorder->pid(), RLIMIT_FSIZE, &pieceSize, nullptr), 0);

    ASSERT_EQ(box.ask("SET#USB#-1#REC#"), "OK");
    ASSERT_TRUE(within(10s, [&] { return fs::exists(stalled.path() / "recPAL.ts") && fs::file_size(stalled.path() / "recPAL.ts") > 0; }));
    SocketWatch watch(box);
    ASSERT_TRUE(stalled.freeze());
    std::atomic<bool> crawling{true};
    std::thread crawl([&] {  // half a second stuck, a moment free, over and over
        while (crawling) {
            slow.freeze();
            std::this_thread::sleep_for(450ms);
            slow.thaw();
            std::this_thread::sleep_for(50ms);
        }
    });
    std::this_thread::sleep_for(8s);
    EXPECT_EQ(box.ask("SET#USB#-1#STP#"), "OK");  // at once, the stalled drive included
    crawling = false;
    crawl.join();
    watch.end();
    stalled.thaw();
    ASSERT_TRUE(within(20s, [&] {
        const std::string errors = box.recorder->errors();
        return errors.find("Syncing: " + stalled.path().string()) != std::string::npos &&
               errors.find("Syncing: " + slow.path().string()) != std::string::npos;
    })) << box.recorder->errors();

    const std::string log = box.recorder->errors();
    EXPECT_EQ(watch.unanswered.load(), 0) << "got \"" << watch.wrong << "\"; the log ends:\n"
                                          << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
#ifndef QVA_SLOW_BUILD
    EXPECT_LT(watch.longest.load(), 1000) << "ms for the socket to answer";
#endif
    EXPECT_FALSE(fs::exists(box.sandbox.path("/outside.ts")) || fs::is_symlink(hostile / "recPAL.ts_3.ts"));
    EXPECT_TRUE(fs::is_fifo(hostile / "recPAL.ts_2.ts"));
    EXPECT_TRUE(fs::exists(hostile / "recPAL.ts_3.ts")) << "numbering goes on past the taken names";
    for (const fs::path& drive : {fs::path(box.sandbox.path("/media/USB1")), hostile, stalled.path(), slow.path()}) {
        SCOPED_TRACE(drive.string());
        const std::string whole = piecesOf(drive, "recPAL.ts");
        writeFile(box.sandbox.path("/whole.ts"), whole);
        const bool complete = drive.filename() == "USB1" || drive.filename() == "HOSTILE";
        expectPlayable(box.sandbox.path("/whole.ts"), {.minSeconds = complete ? 6.0 : 0.0});
    }
    EXPECT_TRUE(box.recorder->running());
}

TEST(EndToEnd, ATricklingClientAndTwoHundredSilentOnesHoldUpNeitherRequestsNorTheRecording) {
    Box box;
    box.addDrive("USB1");
    box.start(1);
    ASSERT_EQ(box.ask("SET#USB#-1#REC#"), "OK");
    const auto began = std::chrono::steady_clock::now();
    const std::string path = box.sandbox.path("/tmp/domain_socket");
    std::atomic<bool> stop{false};
    std::thread silent([&] {  // 200 connections that never speak, opened anew every second
        while (!stop) {
            std::vector<std::unique_ptr<SocketClient>> clients;
            for (int i = 0; i < 200; ++i) clients.push_back(std::make_unique<SocketClient>(path));
            for (int i = 0; i < 10 && !stop; ++i) std::this_thread::sleep_for(100ms);
        }
    });
    std::string trickled = "(not yet)";
    std::thread trickle([&] {  // a well-formed request, one byte a second
        SocketClient client(path);
        for (char c : std::string("GET#INFO#\r\n")) {
            if (stop || !client.send(std::string(1, c))) break;
            std::this_thread::sleep_for(1s);
        }
        trickled = client.reply();
    });
    SocketWatch watch(box);
    std::this_thread::sleep_for(8s);
    stop = true;
    trickle.join();
    silent.join();
    watch.end();
    ASSERT_EQ(box.ask("SET#USB#-1#STP#"), "OK");
    const double recorded = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    EXPECT_EQ(trickled, "") << "no request may take longer than 5 s";
    EXPECT_EQ(watch.unanswered.load(), 0) << watch.wrong;
#ifndef QVA_SLOW_BUILD
    EXPECT_LT(watch.longest.load(), 1000) << "ms for the socket to answer";
#endif
    ASSERT_TRUE(within(10s, [&] { return box.recorder->errors().find("Syncing: ") != std::string::npos; }));
    const std::string log = box.recorder->errors();
    EXPECT_EQ(log.find("Popping video"), std::string::npos) << "a frame was dropped";
    EXPECT_EQ(log.find("too slow"), std::string::npos);
    EXPECT_EQ(log.find("Network Listner : Error"), std::string::npos) << "dropped connections are no server error";
    size_t dropLines = 0;
    for (size_t at = 0; (at = log.find("dropped", at)) != std::string::npos; ++at) ++dropLines;
    EXPECT_GT(dropLines, 0u);
    EXPECT_LE(dropLines, size_t(recorded) + 3) << "dropped connections are logged at most once a second";
    expectPlayable(box.file("USB1", "recPAL.ts"), {.minSeconds = recorded - 1.5});
    EXPECT_TRUE(box.recorder->running());
}

TEST(EndToEnd, PowerCutsLoseAtMostTheLastTwoSeconds) {
    Box box;
    using testing_support::LoopDrive;
    LoopDrive drive(box.sandbox.path("/usb.img"), box.sandbox.path("/media/USB1"));
    if (!drive.mounted()) GTEST_SKIP() << "a loop-mounted drive needs root";
    box.start(1);
    ASSERT_EQ(box.ask("SET#USB#-1#REC#"), "OK");
    const fs::path live = drive.path() / "recPAL.ts";
    ASSERT_TRUE(within(10s, [&] { return fs::exists(live) && fs::file_size(live) > 0; }));
    const auto firstBytes = std::chrono::steady_clock::now();

    // The image as the medium holds it at that moment, with nothing flushed for the occasion: a power cut.
    std::vector<std::pair<double, std::string>> cuts;
    for (double at : {3.0, 8.5, 13.0}) {
        std::this_thread::sleep_for(firstBytes + std::chrono::duration<double>(at) - std::chrono::steady_clock::now());
        const std::string copy = box.sandbox.path("/cut-" + std::to_string(cuts.size()) + ".img");
        ASSERT_TRUE(LoopDrive::run("cp --sparse=always '" + drive.image().string() + "' '" + copy + "'"));
        cuts.emplace_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - firstBytes).count(), copy);
    }
    ASSERT_EQ(box.ask("SET#USB#-1#STP#"), "OK");

    for (const auto& [seconds, image] : cuts) {
        SCOPED_TRACE(std::to_string(seconds) + " s into the recording");
        EXPECT_TRUE(LoopDrive::run("e2fsck -fy '" + image + "'") || LoopDrive::run("e2fsck -fn '" + image + "'"));
        const std::string mountPoint = image + ".d";
        fs::create_directories(mountPoint);
        ASSERT_TRUE(LoopDrive::run("mount -o loop,ro '" + image + "' '" + mountPoint + "'"));
        const std::string kept = readFile(mountPoint + "/recPAL.ts");
        ::umount2(mountPoint.c_str(), MNT_DETACH);
        writeFile(box.sandbox.path("/kept.ts"), kept);
        const ProbedStream s = expectPlayable(box.sandbox.path("/kept.ts"), {.minSeconds = 0, .cutShort = true});
        EXPECT_GE(s.video.duration, seconds - 2.0);
    }
}
