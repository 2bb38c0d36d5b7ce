// The simulated capture card, loaded through the product's loader as the recorder loads the real one.
#include "capture/DeckLinkAPI.h"
#include "capture/DeckLinkRef.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <future>
#include <mutex>
#include <numbers>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testing_support::readFile;
using testing_support::writeFile;

// The library reads its environment once per process: one sandbox, set before the first load.
const fs::path& simDir() {
    static const testing_support::TempDir root;
    static const fs::path dir = [] {
        setenv("QVA_ROOT", root.path().c_str(), 1);
        unsetenv("QVA_SIM_MODEL");
        unsetenv("QVA_SIM_PACE");
        fs::create_directories(root.path() / "sim");
        return root.path() / "sim";
    }();
    return dir;
}

// Runs `action` on another thread; a deadlock aborts instead of hanging ctest.
HRESULT within5s(std::function<HRESULT()> action) {
    std::packaged_task<HRESULT()> task(std::move(action));
    auto result = task.get_future();
    std::thread(std::move(task)).detach();
    if (result.wait_for(5s) != std::future_status::ready) std::abort();
    return result.get();
}

std::string modelName(IDeckLink* device) {
    const char* name = nullptr;
    if (device->GetModelName(&name) != S_OK || name == nullptr) return "(failed)";
    return std::unique_ptr<char, decltype(&std::free)>(const_cast<char*>(name), &std::free).get();
}

using Components = std::array<uint8_t, 4>;                   // hh mm ss ff
using Shape = std::tuple<long, long, long, BMDPixelFormat>;  // width, height, row bytes, format

// What one callback delivered.
struct Arrival {
    Clock::time_point at = Clock::now();
    bool video = false;
    Shape shape;
    BMDFrameFlags flags = 0;
    std::optional<Components> timecode;  // when all five formats agree
    std::vector<uint8_t> top;            // first picture row
    bool uniform = false;                // every row as the first
    long audioFrames = -1;               // -1: no packet
    std::vector<int16_t> audio;
};

Arrival capture(IDeckLinkVideoInputFrame* video, IDeckLinkAudioInputPacket* audio) {
    Arrival a;
    void* bytes = nullptr;
    if (video != nullptr && video->GetBytes(&bytes) == S_OK) {
        const long height = video->GetHeight(), rowBytes = video->GetRowBytes();
        const auto* pixels = static_cast<const uint8_t*>(bytes);
        a.video = a.uniform = true;
        a.shape = {video->GetWidth(), height, rowBytes, video->GetPixelFormat()};
        a.flags = video->GetFlags();
        a.top.assign(pixels, pixels + rowBytes);
        for (long y = 1; y < height; ++y)
            a.uniform = a.uniform && !std::memcmp(pixels, pixels + y * rowBytes, rowBytes);
        // All five formats answer the same, in components, BCD and text alike; another answers nothing.
        bool agree = true;
        Components first{}, c{};
        for (BMDTimecodeFormat format :
             {kTimecodeVITC, kTimecodeRP188, kTimecodeRP188LTC, kTimecodeRP188VITC1, kTimecodeRP188VITC2}) {
            DeckLinkRef<IDeckLinkTimecode> tc;
            const char* text = nullptr;
            agree = agree && video->GetTimecode(format, tc.put()) == S_OK &&
                    tc->GetComponents(&c[0], &c[1], &c[2], &c[3]) == S_OK && (format == kTimecodeVITC || first == c) &&
                    tc->GetString(&text) == S_OK;
            if (!agree) break;
            char expected[16];
            std::snprintf(expected, sizeof expected, "%02d:%02d:%02d:%02d", c[0], c[1], c[2], c[3]);
            uint32_t bcd = 0;
            for (uint8_t v : c) bcd = bcd << 8 | uint32_t(v / 10 << 4 | v % 10);
            agree = tc->GetBCD() == bcd && std::string(text) == expected;
            std::free(const_cast<char*>(text));
            first = c;
        }
        DeckLinkRef<IDeckLinkTimecode> other;
        if (agree && video->GetTimecode(fourCC("ltc "), other.put()) == E_FAIL && !other) a.timecode = first;
    }
    if (audio != nullptr && audio->GetBytes(&bytes) == S_OK) {
        a.audioFrames = audio->GetSampleFrameCount();
        const auto* samples = static_cast<const int16_t*>(bytes);
        a.audio.assign(samples, samples + a.audioFrames * kCapturedAudioChannels);
    }
    return a;
}

// A counting callback that keeps what each call delivered, then runs `hook`.
class Recorder final : public IDeckLinkInputCallback {
public:
    using Hook = std::function<void(IDeckLinkVideoInputFrame*, IDeckLinkAudioInputPacket*)>;
    explicit Recorder(Hook hook = {}) : hook_(std::move(hook)) {}

    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override { return --refs_ == 0 ? (delete this, 0) : ULONG(refs_); }
    HRESULT VideoInputFormatChanged(BMDVideoInputFormatChangedEvents, IDeckLinkDisplayMode*,
                                    BMDDetectedVideoInputFormatFlags) override { return S_OK; }
    HRESULT VideoInputFrameArrived(IDeckLinkVideoInputFrame* video, IDeckLinkAudioInputPacket* audio) override {
        inside = true;
        Arrival arrival = capture(video, audio);
        if (hook_) hook_(video, audio);
        std::lock_guard lock(mutex_);
        arrivals_.push_back(std::move(arrival));
        changed_.notify_all();
        inside = false;
        return S_OK;
    }

    bool waitFor(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 3s, [&] { return arrivals_.size() >= count; });
    }
    std::vector<Arrival> arrivals() { return std::lock_guard(mutex_), arrivals_; }
    size_t count() { return arrivals().size(); }
    ULONG refs() const { return refs_; }
    std::atomic<bool> inside{false};

private:
    std::atomic<ULONG> refs_{1};
    const Hook hook_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Arrival> arrivals_;
};

// Row of frame `frame`: 75% bars, white 8-pixel stripe at (frame * 8) % width.
std::vector<uint8_t> barsRow(long width, uint64_t frame) {
    static constexpr uint8_t kUyv[9][3] = {{128, 180, 128}, {44, 162, 142}, {156, 131, 44},
                                           {72, 112, 58},   {184, 84, 198}, {100, 65, 212},
                                           {212, 35, 114},  {128, 16, 128}, {128, 235, 128}};
    std::vector<uint8_t> row;
    const long marker = long(frame * 8 % width);
    for (long x = 0; x < width; x += 2) {
        const uint8_t* c = kUyv[x >= marker && x < marker + 8 ? 8 : x * 8 / width];
        row.insert(row.end(), {c[0], c[1], c[2], c[1]});
    }
    return row;
}

// Samples more than 1 off the tones; `first` counts from the stream start.
long toneErrors(const Arrival& a, uint64_t first) {
    long errors = 0;
    for (long i = 0; i < a.audioFrames; ++i)
        for (unsigned c = 0; c < 8; ++c) {
            const double peak = std::round(32767 * std::pow(10.0, -(6.0 + 2 * c) / 20));
            const double phase = 2 * std::numbers::pi * (c + 1) * 500 * double(first + i) / 48000;
            errors += std::abs(a.audio[i * 8 + c] - peak * std::sin(phase)) > 1.5;
        }
    return errors;
}

// Frames since 10:00:00:00.
long timecodeFrames(const std::optional<Components>& c, unsigned base) {
    return c ? (((*c)[0] - 10) * 3600 + (*c)[1] * 60 + (*c)[2]) * long(base) + (*c)[3] : -1;
}

[[maybe_unused]] double ratePerSecond(const std::vector<Arrival>& arrivals) {
    return double(arrivals.size() - 1) /
           std::chrono::duration<double>(arrivals.back().at - arrivals.front().at).count();
}

class SimulatedCard : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove(dir / "no-signal");
        fs::remove(dir / "refuse-mode");
        DeckLinkRef<IDeckLinkIterator> iterator(CreateDeckLinkIteratorInstance());
        ASSERT_TRUE(iterator) << "libDeckLinkAPI.so did not load";
        ASSERT_EQ(iterator->Next(device.put()), S_OK);
        ASSERT_EQ(device->QueryInterface(IID_IDeckLinkInput, input.putVoid()), S_OK);
        ASSERT_EQ(input->QueryInterface(IID_IDeckLinkConfiguration, config.putVoid()), S_OK);
        ASSERT_EQ(config->SetInt(kConfigVideoInputConversionMode, kConversionNone), S_OK);
    }
    void TearDown() override {
        if (input) within5s([&] { return input->StopStreams(); });
    }
    void start(Recorder* recorder, BMDDisplayMode mode) {
        EXPECT_EQ(input->SetCallback(recorder), S_OK);
        EXPECT_EQ(input->EnableVideoInput(mode, kPixelFormat8BitYUV, kVideoInputFlagDefault), S_OK);
        EXPECT_EQ(input->EnableAudioInput(48000, 16, 8), S_OK);
        EXPECT_EQ(input->StartStreams(), S_OK);
    }
    std::vector<Arrival> record(BMDDisplayMode mode, Clock::duration duration) {
        DeckLinkRef<Recorder> recorder(new Recorder);
        start(recorder.get(), mode);
        std::this_thread::sleep_for(duration);
        input->StopStreams();
        return recorder->arrivals();
    }
    HRESULT enable(BMDDisplayMode mode, BMDPixelFormat format = kPixelFormat8BitYUV) {
        return input->EnableVideoInput(mode, format, 0);
    }

    const fs::path& dir = simDir();
    DeckLinkRef<IDeckLink> device;
    DeckLinkRef<IDeckLinkInput> input;
    DeckLinkRef<IDeckLinkConfiguration> config;
};

TEST_F(SimulatedCard, OneDeviceItsInterfacesAndRefusals) {
    DeckLinkRef<IDeckLinkIterator> iterator(CreateDeckLinkIteratorInstance());
    DeckLinkRef<IDeckLink> only;
    ASSERT_EQ(iterator->Next(only.put()), S_OK);
    IDeckLink* more = only.get();
    EXPECT_EQ(iterator->Next(&more), E_FAIL);
    EXPECT_EQ(more, nullptr);
    EXPECT_EQ(modelName(only.get()), "DeckLink Studio 4K");
    DeckLinkRef<IUnknown> same, configuration, none;
    EXPECT_EQ(input->QueryInterface(IID_IDeckLinkInput, same.putVoid()), S_OK);
    EXPECT_EQ(same.get(), static_cast<IUnknown*>(input.get()));
    EXPECT_EQ(only->QueryInterface(IID_IDeckLinkConfiguration, configuration.putVoid()), S_OK);
    EXPECT_TRUE(configuration);
    EXPECT_EQ(only->QueryInterface(REFIID{{1, 2, 3}}, none.putVoid()), E_NOINTERFACE);
    EXPECT_EQ(input->QueryInterface(REFIID{{1, 2, 3}}, none.putVoid()), E_NOINTERFACE);
    EXPECT_FALSE(none);

    // The input holds one reference on its callback, while it is set.
    DeckLinkRef<Recorder> first(new Recorder), second(new Recorder);
    input->SetCallback(first.get());
    EXPECT_EQ(first->refs(), 2u);
    input->SetCallback(second.get());
    EXPECT_EQ(std::pair(first->refs(), second->refs()), std::pair(1ul, 2ul));
    input->SetCallback(nullptr);
    EXPECT_EQ(second->refs(), 1u);

    using Answers = std::vector<HRESULT>;
    EXPECT_EQ((Answers{input->StartStreams(), enable(fourCC("4k25")), enable(kModePal, fourCC("v210")),
                       input->EnableAudioInput(44100, 16, 8), input->EnableAudioInput(48000, 16, 2),
                       config->SetInt(kConfigVideoInputConnection, 2), config->SetInt(fourCC("xxxx"), 1)}),
              Answers(7, E_FAIL));  // the first: no video enabled
    writeFile(dir / "refuse-mode", "pal \n");
    EXPECT_EQ((Answers{enable(kModePal), enable(kModeHi50), enable(kModeHi59), enable(kModeHp50), enable(kModeHp59),
                       enable(kModeNtsc)}),
              (Answers{E_FAIL, S_OK, S_OK, S_OK, S_OK, S_OK}));
    writeFile(dir / "refuse-mode", "Hi50");  // read again at every call
    EXPECT_EQ((Answers{enable(kModeHi50), enable(kModePal)}), (Answers{E_FAIL, S_OK}));
    fs::remove(dir / "refuse-mode");
    EXPECT_EQ(enable(kModeHi50), S_OK);
    ASSERT_EQ(input->StartStreams(), S_OK);
    // The mode is fixed while streaming; the product stops first.
    EXPECT_EQ((Answers{enable(kModeNtsc), input->EnableAudioInput(48000, 16, 8), input->StartStreams()}),
              Answers(3, E_FAIL));
}

TEST_F(SimulatedCard, StateFileShowsTheSettingsOfTheLastStart) {
    const auto set = [&](int64_t conversion, int64_t audio, int64_t video) {
        return config->SetInt(kConfigVideoInputConversionMode, conversion) |
               config->SetInt(kConfigAudioInputConnection, audio) | config->SetInt(kConfigVideoInputConnection, video);
    };
    ASSERT_EQ(set(kConversionDown1080Anamorphic, kAudioConnectionAESEBU, kVideoConnectionComposite), S_OK);
    ASSERT_NE(set(fourCC("bad!"), fourCC("hdmi"), 2), S_OK);  // refused values are not kept
    ASSERT_EQ(enable(kModeNtsc), S_OK);
    ASSERT_EQ(input->StartStreams(), S_OK);
    const std::string first = readFile(dir / "card");
    const size_t at = first.find("starts ");
    ASSERT_NE(at, std::string::npos) << first;
    const std::string next = std::to_string(std::atoi(first.c_str() + at + 7) + 1);
    EXPECT_EQ(first.substr(0, at), "mode 'ntsc'\nconversion '10am'\naudio 'aes '\nvideo 16\n");
    // Changes while streaming belong to the next start.
    ASSERT_EQ(set(kConversionDown720Anamorphic, kAudioConnectionAnalog, kVideoConnectionSDI), S_OK);
    EXPECT_EQ(readFile(dir / "card"), first);
    input->StopStreams();
    ASSERT_EQ(enable(kModePal), S_OK);
    ASSERT_EQ(input->StartStreams(), S_OK);
    EXPECT_EQ(readFile(dir / "card"), "mode 'pal '\nconversion '72am'\naudio 'anlg'\nvideo 1\nstarts " + next + "\n");
    EXPECT_FALSE(fs::exists(dir / "card.tmp"));
}

struct ModeCase {  // rate: callbacks per second; cadence: audio sample frames per callback
    const char* name; BMDDisplayMode mode; int64_t conversion; long width, height; double rate;
    unsigned timecodeBase; std::array<long, 5> cadence;
};
void PrintTo(const ModeCase& m, std::ostream* out) { *out << m.name; }

class CardModes : public SimulatedCard, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(CardModes, StreamsBarsToneAndTimecodeAtTheModeRate) {
    const ModeCase& m = GetParam();
    // Down-converting from 720p: the 720p rate, SD pictures every second callback.
    const size_t every = m.conversion == kConversionDown720Anamorphic ? 2 : 1;
    ASSERT_EQ(config->SetInt(kConfigVideoInputConversionMode, m.conversion), S_OK);
#if defined(__SANITIZE_THREAD__)
    // Instrumented, the card and this callback cannot keep real time with HD
    // frames on a busy machine: stream longer and leave the rate unjudged.
    const auto arrivals = record(m.mode, 4000ms);
#else
    const auto arrivals = record(m.mode, 1250ms);
    EXPECT_NEAR(ratePerSecond(arrivals), m.rate, 0.2 * m.rate);
#endif
    ASSERT_GT(arrivals.size() / every, m.timecodeBase + 1) << "too short to roll a time-code second";
    uint64_t sample = 0;
    for (size_t n = 0; n < arrivals.size(); ++n) {
        SCOPED_TRACE("callback " + std::to_string(n));
        const Arrival& a = arrivals[n];
        ASSERT_EQ(a.audioFrames, m.cadence[n % 5]);
        EXPECT_EQ(toneErrors(a, sample), 0);
        sample += uint64_t(a.audioFrames);
        ASSERT_EQ(a.video, n % every == 0);
        if (!a.video) continue;
        const size_t frame = n / every;
        const auto bars = barsRow(m.width, frame);
        EXPECT_EQ(a.shape, Shape(m.width, m.height, 2 * m.width, kPixelFormat8BitYUV));
        EXPECT_EQ(a.flags, 0u);
        EXPECT_TRUE(a.top == bars && a.uniform) << "not bars with the frame's stripe";
        ASSERT_TRUE(a.timecode) << "a time-code format missing or disagreeing";
        EXPECT_LT((*a.timecode)[3], m.timecodeBase);
        EXPECT_EQ(timecodeFrames(a.timecode, m.timecodeBase), long(frame));
    }
}

// The plain modes are judged end to end, on every decoded picture and the
// tones of every recording; the down-conversions are the card's alone.
constexpr std::array<long, 5> k25{1920, 1920, 1920, 1920, 1920}, k50{960, 960, 960, 960, 960},
    k5994{801, 801, 801, 801, 800};
constexpr int64_t k72am = kConversionDown720Anamorphic;
INSTANTIATE_TEST_SUITE_P(
    DownConversions, CardModes,
    ::testing::Values(ModeCase{"pal_10am", kModePal, kConversionDown1080Anamorphic, 720, 576, 25.0, 25, k25},
                      ModeCase{"pal_72am", kModePal, k72am, 720, 576, 50.0, 25, k50},
                      ModeCase{"ntsc_72am", kModeNtsc, k72am, 720, 480, 60000 / 1001.0, 30, k5994}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimulatedCard, CallbackCanStopReconfigureAndRestartTheCard) {
    IDeckLinkInput* card = input.get();
    std::atomic<int> calls{0};
    std::atomic<bool> restarted{false};
    DeckLinkRef<Recorder> recorder(new Recorder([&](auto, auto) {
        const int n = ++calls;
        if (n == 3) {  // as the recorder follows a format change
            card->StopStreams();
            card->FlushStreams();
            card->DisableVideoInput();
            card->DisableAudioInput();
            restarted = card->EnableVideoInput(kModeHp50, kPixelFormat8BitYUV, 0) == S_OK &&
                        card->EnableAudioInput(48000, 16, 8) == S_OK && card->StartStreams() == S_OK;
        } else if (n == 8) {
            card->StopStreams();
        }
    }));
    start(recorder.get(), kModePal);
    ASSERT_TRUE(recorder->waitFor(8));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(restarted);
    const auto arrivals = recorder->arrivals();
    ASSERT_EQ(arrivals.size(), 8u) << "callbacks went on after StopStreams in the callback";
    for (size_t n = 0; n < 8; ++n) {  // after the restart frames count again from 0
        const bool sd = n < 3;
        EXPECT_EQ(std::tuple(std::get<0>(arrivals[n].shape), timecodeFrames(arrivals[n].timecode, sd ? 25 : 50),
                             arrivals[n].audioFrames),
                  std::tuple(sd ? 720l : 1280l, long(sd ? n : n - 3), sd ? 1920l : 960l)) << n;
    }
}

TEST_F(SimulatedCard, StopFromAnotherThreadWaitsAndAHeldFrameStaysIntact) {
    DeckLinkRef<IDeckLinkVideoInputFrame> frame;
    DeckLinkRef<IDeckLinkAudioInputPacket> packet;
    // Slower than the frame rate, so a callback is nearly always running.
    DeckLinkRef<Recorder> recorder(new Recorder([&](auto video, auto audio) {
        if (!frame) video->AddRef(), frame.reset(video), audio->AddRef(), packet.reset(audio);  // keeps the first
        std::this_thread::sleep_for(60ms);
    }));
    start(recorder.get(), kModeHi50);
    ASSERT_TRUE(recorder->waitFor(6));
    EXPECT_EQ(within5s([&] { return input->StopStreams(); }), S_OK);
    EXPECT_FALSE(recorder->inside);
    const size_t stopped = recorder->count();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(recorder->count(), stopped);

    EXPECT_EQ(frame->AddRef(), 2u) << "the card still holds the frame";
    EXPECT_EQ(frame->Release(), 1u);
    void* out = this;
    EXPECT_EQ(frame->QueryInterface(IID_IDeckLinkInput, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    const Arrival held = capture(frame.get(), packet.get());
    EXPECT_TRUE(held.top == barsRow(1920, 0) && held.uniform);
    EXPECT_EQ(held.timecode, (Components{10, 0, 0, 0}));
    EXPECT_EQ(toneErrors(held, 0), 0);
}

// In a process of its own: the environment is set before the load.
int freshProcess() {
    const fs::path& dir = simDir();
    setenv("QVA_SIM_MODEL", "Test Card", 1);
    setenv("QVA_SIM_PACE", "fast", 1);
    DeckLinkRef<IDeckLinkIterator> iterator(CreateDeckLinkIteratorInstance());
    DeckLinkRef<IDeckLink> device;
    DeckLinkRef<IDeckLinkInput> input;
    DeckLinkRef<Recorder> recorder(new Recorder);
    if (!iterator || iterator->Next(device.put()) != S_OK ||
        device->QueryInterface(IID_IDeckLinkInput, input.putVoid()) != S_OK)
        return 10;
    input->SetCallback(recorder.get());
    input->EnableVideoInput(kModePal, kPixelFormat8BitYUV, 0);
    input->StartStreams();
    std::this_thread::sleep_for(1s);  // paced: 25 frames; unpaced: many more even under a sanitizer
    // Exits with the card streaming; the exit code tells what went wrong.
    return (modelName(device.get()) != "Test Card") + 2 * (recorder->count() < 50) +
           4 * (readFile(dir / "card") != "mode 'pal '\nconversion 'none'\naudio 'embd'\nvideo 1\nstarts 1\n");
}

TEST(SimulatedCardProcess, ReadsEnvironmentAtLoadAndExitsWhileStreaming) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(freshProcess()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
