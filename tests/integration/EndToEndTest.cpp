// The box as its operators use it: the whole recorder in a sandbox on the
// simulated card, driven through the command socket, and every recording
// read back as a player and a stream monitor would.
#include "Sandbox.h"

#include "core/StartupConfig.h"
#include "encode/EncoderMode.h"
#include "encode/TimeCodeBurner.h"

#include <gtest/gtest.h>

#include "LoopDrive.h"
#include "SocketClient.h"
#include "StreamProbe.h"

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <tuple>
#include <utility>

using namespace std::chrono_literals;
using testing_support::LoopDrive;
using testing_support::readFile;
using testing_support::writeFile;
namespace fs = std::filesystem;

namespace {

#ifdef QVA_SLOW_BUILD
constexpr bool kSlowBuild = true;  // sanitizers: HD is encoded slower than real time, so the card drops frames
#else
constexpr bool kSlowBuild = false;
#endif

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

    void addDrive(const std::string& label) { fs::create_directories(sandbox.path("/media/" + label)); }
    std::string ask(const std::string& line) const {
        return SocketClient::ask(sandbox.path("/tmp/domain_socket"), line);
    }
    std::map<std::string, bool> drives() const { return recFlags(ask("GET#USB#")); }

    // Starts the recorder; returns once it streams, answers and lists every drive.
    void start(size_t driveCount) {
        recorder = std::make_unique<RecorderProcess>(sandbox);
        ASSERT_TRUE(recorder->waitForErrors("Flushing stream\n", 30s)) << recorder->errors();
        ASSERT_TRUE(within(30s, [&] { return drives().size() == driveCount; })) << ask("GET#USB#");
    }
};

struct Playable {
    uint32_t mode = kModePal;
    double minSeconds = 1.5;
    bool cutShort = false;  // the process was killed: the last frame may be incomplete
    int bandTop = 0, bandLines = 0;  // luma lines of every picture to keep
};

// Every video and audio access unit is in the stream, by the PCR, a good
// while before its decoding time: what a hardware decoder or a playout
// server following the buffer model needs.
void expectBuffered(const TransportCheck& ts, const std::string& what) {
    for (const auto* units : {&ts.video, &ts.audio}) {
        const char* kind = units == &ts.video ? "video" : "audio";
        EXPECT_GT(units->count, 0) << what << " " << kind;
        EXPECT_GE(units->minMargin, 0.2) << what << " " << kind << " margin";
    }
}

// A recording as a player sees it: H.264 and stereo MP2 at 48 kHz, the mode's
// picture size and rate, decoded to its end, decoder complaints only before
// the first picture (a recording joins the running stream) and that picture
// within the first second.
ProbedStream expectPlayable(const std::string& path, const Playable& want) {
    std::string bytes = readFile(path);
    EXPECT_TRUE(want.cutShort || bytes.size() % 188 == 0) << path << ": whole packets only";
    bytes.resize(bytes.size() / 188 * 188);
    writeFile(path + ".whole", bytes);
    const ProbedStream s = probeStream(path + ".whole", want.bandTop, want.bandLines);
    const EncoderMode m = encoderModeFor(want.mode);
    EXPECT_EQ(std::tie(s.video.codec, s.audio.codec, s.audio.sampleRate, s.audio.channels),
              std::tuple("h264", "mp2", 48000, 2)) << path;
    EXPECT_EQ(s.video.width, m.width);
    EXPECT_EQ(s.video.height, m.height);
    EXPECT_EQ(int64_t(s.video.rateNum) * m.fpsDen, int64_t(m.fpsNum) * s.video.rateDen);
    EXPECT_GE(s.video.frames, kSlowBuild ? 1 : int(want.minSeconds * m.fpsNum / m.fpsDen)) << path;
    EXPECT_NEAR(s.audio.duration, s.video.duration, 1.2);
    for (size_t i = 0; i < s.complaints.size(); ++i) {  // from byte 0 on, where the file begins with PAT, PMT, keyframe
        const bool atCut = want.cutShort && s.complaintFrames[i] >= s.video.frames - 2;
        EXPECT_TRUE(atCut) << path << ": after picture " << s.complaintFrames[i] << ": " << s.complaints[i];
    }
    if (!s.video.pts.empty()) {  // each drive's file begins where a player can start
        const int64_t first = *std::min_element(s.video.pts.begin(), s.video.pts.end());
        EXPECT_LE(double(s.video.firstPicturePts - first) / 90000, 1.0 + double(m.fpsDen) / m.fpsNum) << path;
    }
    const TransportCheck ts = checkTransport(bytes);
    EXPECT_EQ(ts.syncErrors, 0) << path;
    EXPECT_EQ(ts.continuityErrors, 0) << path;
    EXPECT_EQ(ts.firstPat, 0) << path;
    expectBuffered(ts, path);
    return s;
}

// The time code burnt into each decoded picture, read back against the digit
// font as frames since midnight (base frames a second), or -1 where it does
// not read as hh:mm:ss:ff.
std::vector<long> burntTimecodes(const ProbedStream& s, const std::string& font, int glyphWidth,
                                 int glyphHeight, int x, long base) {
    std::vector<long> codes;
    for (const std::string& band : s.video.bands) {
        bool readable = true;
        long value = 0, pair = 0;
        for (int k = 0; k < 11; ++k) {
            long bestDifference = -1;
            int glyph = 0;
            for (int g = 0; g < 11; ++g) {
                long difference = 0;
                for (int r = 0; r < glyphHeight; ++r)
                    for (int j = 0; j < glyphWidth; ++j)
                        difference += std::abs(int(uint8_t(band[size_t(r * s.video.width + x + k * glyphWidth + j)])) -
                                               int(uint8_t(font[size_t(r * 11 * glyphWidth + g * glyphWidth + j)])));
                if (bestDifference < 0 || difference < bestDifference) bestDifference = difference, glyph = g;
            }
            readable = readable && (k % 3 == 2) == (glyph == 10);  // colons between the pairs of digits
            if (k % 3 == 2) value = value * 60 + std::exchange(pair, 0);
            else pair = pair * 10 + glyph;
        }
        codes.push_back(readable ? value * base + pair : -1);
    }
    return codes;
}

// A recording and its retry pieces, in order: name, then name_N.ts from 1 on.
std::string piecesOf(const fs::path& drive, const std::string& name) {
    std::string whole = readFile(drive / name);
    for (int n = 1; fs::exists(drive / (name + "_" + std::to_string(n) + ".ts")); ++n)
        whole += readFile(drive / (name + "_" + std::to_string(n) + ".ts"));
    return whole;
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
    const StartupBytes bytes = encodeStartupRecord(record);
    writeFile(box.sandbox.path("/QVA/startup.cfg"), std::string(bytes.begin(), bytes.end()));
    box.addDrive("USB1");
    box.start(1);
    ASSERT_EQ(box.ask("SET#USB#-1#REC#"), "OK");
    std::this_thread::sleep_for(3s);
    ASSERT_EQ(box.ask("SET#USB#-1#STP#"), "OK");
    ASSERT_TRUE(box.recorder->waitForErrors("Syncing: ", 10s));

    const TimecodeLayout layout = *timecodeLayoutFor(c.mode);
    const int glyphWidth = layout.hd ? 21 : 14, glyphHeight = layout.hd ? 27 : 18;
    const ProbedStream s = expectPlayable(box.sandbox.path("/media/USB1/") + c.file,
                                          {.mode = c.mode,
                                           .bandTop = c.pal ? layout.topLine : layout.bottomLine,
                                           .bandLines = glyphHeight});
    EXPECT_GT(toneLevel(s.audio.left, 500), 0.1);  // pair 0: channels 1 and 2
    EXPECT_GT(toneLevel(s.audio.right, 1000), 0.1);
    EXPECT_NE(readFile(box.sandbox.path("/sim/card")).find("\nstarts 1\n"), std::string::npos) << "one capture pass";

    // The burnt-in time code is the card's running one (from 10:00:00:00), a frame further each picture.
    const EncoderMode m = encoderModeFor(c.mode);
    const long base = (m.fpsNum + m.fpsDen - 1) / m.fpsDen;
    const std::string font = readFile(box.sandbox.path(layout.hd ? "/QVA/numbersHD.dat" : "/QVA/numbersSD.dat"));
    ASSERT_EQ(font.size(), size_t(11 * glyphWidth * glyphHeight)) << "the sandbox's digit font";
    const std::vector<long> codes = burntTimecodes(s, font, glyphWidth, glyphHeight, layout.x, base);
    ASSERT_EQ(codes.size(), size_t(s.video.frames));
    EXPECT_EQ(std::count(codes.begin(), codes.end(), -1), 0);
    EXPECT_GE(codes.front(), 10 * 3600 * base) << "never 00:00:00:00";
    size_t steps = 0;
    for (size_t i = 1; i < codes.size(); ++i) {
        steps += kSlowBuild ? codes[i] > codes[i - 1] : codes[i] == codes[i - 1] + 1;  // slow: frames dropped
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

// Everything that could hold the box up at once: a frozen drive, a crawling one, one that fills up, one
// pulled out, files that stop growing at 128 KiB as on FAT32, a client sending a byte a second and 200
// that never speak. No other drive, request or frame waits.
TEST(EndToEnd, StalledSlowFullAndPulledDrivesAndSlowClientsHoldBackNoOther) {
    Box box;
    box.addDrive("USB1");
    box.addDrive("PULLED");
    LoopDrive stalled(box.sandbox.path("/stalled.img"), box.sandbox.path("/media/STALLED"));
    if (!stalled.mounted()) GTEST_SKIP() << "loop-mounted drives need root";
    LoopDrive slow(box.sandbox.path("/slow.img"), box.sandbox.path("/media/SLOW"));
    LoopDrive small(box.sandbox.path("/small.img"), box.sandbox.path("/media/SMALL"));
    ASSERT_TRUE(slow.mounted() && small.mounted());
    struct statvfs space {};  // full (50 MiB free or less) after about 100 KiB
    ASSERT_EQ(::statvfs(small.path().c_str(), &space), 0);
    const uint64_t filler = uint64_t(space.f_bavail) * space.f_frsize - (51 << 20) - (100 << 10);
    ASSERT_TRUE(LoopDrive::run("fallocate -l " + std::to_string(filler) + " '" + small.path().string() + "/filler'"));
    box.start(5);
    const rlimit pieceSize{128 << 10, 128 << 10};
    ASSERT_EQ(::prlimit(box.recorder->pid(), RLIMIT_FSIZE, &pieceSize, nullptr), 0);

    ASSERT_EQ(box.ask("SET#USB#-1#REC#"), "OK");
    const auto began = std::chrono::steady_clock::now();
    const fs::path frozen = stalled.path() / "recPAL.ts";
    ASSERT_TRUE(within(10s, [&] { return fs::exists(frozen) && fs::file_size(frozen) > 0; }));
    ASSERT_TRUE(stalled.freeze());
    std::atomic<bool> stop{false};
    std::string unanswered;  // the replies that were no report
    long longest = 0;        // ms
    std::thread watch([&] {  // asks for the device report four times a second
        while (!stop) {
            const auto asked = std::chrono::steady_clock::now();
            const std::string reply = box.ask("GET#INFO#");
            longest = std::max<long>(longest, (std::chrono::steady_clock::now() - asked) / 1ms);
            if (reply.rfind("INFO#", 0) != 0) unanswered += "\"" + reply + "\" ";
            std::this_thread::sleep_for(250ms);
        }
    });
    std::thread crawl([&] {  // half a second stuck, a moment free, over and over
        while (!stop) {
            slow.freeze();
            std::this_thread::sleep_for(450ms);
            slow.thaw();
            std::this_thread::sleep_for(50ms);
        }
    });
    const std::string path = box.sandbox.path("/tmp/domain_socket");
    std::thread silent([&] {  // 200 connections that never speak, opened anew every second
        while (!stop) {
            std::vector<std::unique_ptr<SocketClient>> clients;
            for (int i = 0; i < 200; ++i) clients.push_back(std::make_unique<SocketClient>(path));
            for (int i = 0; i < 10 && !stop; ++i) std::this_thread::sleep_for(100ms);
        }
    });
    std::string trickled = "(not yet)";
    bool cutOff = false;  // by the server, before the line was whole
    std::thread trickle([&] {  // a well-formed request, one byte a second
        SocketClient client(path);
        const std::string line = "GET#INFO#\r\n";
        for (size_t i = 0; i < line.size() && !stop && !cutOff; ++i) {
            cutOff = !client.send(line.substr(i, 1));
            std::this_thread::sleep_for(1s);
        }
        trickled = client.reply();
    });
    std::this_thread::sleep_for(2s);
    fs::rename(box.sandbox.path("/media/PULLED"), box.sandbox.path("/pulled"));
    EXPECT_TRUE(within(20s, [&] {  // the full drive and the pulled one are let go, the others go on
        std::map<std::string, bool> drives = box.drives();
        drives.erase("STALLED");
        drives.erase("SLOW");
        return drives == std::map<std::string, bool>{{"SMALL", false}, {"USB1", true}};
    })) << box.ask("GET#USB#");
    std::this_thread::sleep_until(began + 10s);
    EXPECT_EQ(box.ask("SET#USB#-1#STP#"), "OK");  // at once, the stalled drive included
    const double recorded = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    stop = true;
    for (std::thread* thread : {&watch, &crawl, &silent, &trickle}) thread->join();
    stalled.thaw();
    ASSERT_TRUE(within(20s, [&] {
        const std::string errors = box.recorder->errors();
        return errors.find("Syncing: " + stalled.path().string()) != std::string::npos &&
               errors.find("Syncing: " + slow.path().string()) != std::string::npos;
    })) << box.recorder->errors();

    const std::string log = box.recorder->errors();
    EXPECT_EQ(unanswered, "") << "the log ends:\n" << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
    EXPECT_LT(longest, kSlowBuild ? 60000 : 1000) << "ms for the socket to answer";
    EXPECT_TRUE(cutOff && trickled.empty()) << "no request may take longer than 5 s: " << trickled;
    EXPECT_EQ(log.find("Popping video"), std::string::npos) << "a frame was dropped";
    for (const fs::path& drive : {fs::path(box.sandbox.path("/media/USB1")), stalled.path(), slow.path(), small.path(),
                                  fs::path(box.sandbox.path("/pulled"))}) {
        SCOPED_TRACE(drive.string());
        writeFile(box.sandbox.path("/whole.ts"), piecesOf(drive, "recPAL.ts"));
        expectPlayable(box.sandbox.path("/whole.ts"), {.minSeconds = drive.filename() == "USB1" ? recorded - 2 : 0.0});
    }
    EXPECT_TRUE(box.recorder->running());
}

TEST(EndToEnd, PowerCutsLoseAtMostTheLastTwoSeconds) {
    Box box;
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
