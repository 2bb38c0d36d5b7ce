// The simulated card's down-conversions: the recording tests stream only the
// plain modes (judged there on every picture and tone), so these are the
// card's alone. Loaded through the product's loader, as the real card is.
#include "capture/DeckLinkAPI.h"
#include "capture/DeckLinkRef.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <array>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Arrival {
    long width = -1;     // -1: no picture
    long timecode = -1;  // frames since 10:00:00:00, at the picture rate
    long audioFrames = -1;
};

class Recorder final : public IDeckLinkInputCallback {
public:
    explicit Recorder(unsigned base) : base_(base) {}
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override { return --refs_ == 0 ? (delete this, 0) : ULONG(refs_); }
    HRESULT VideoInputFormatChanged(BMDVideoInputFormatChangedEvents, IDeckLinkDisplayMode*,
                                    BMDDetectedVideoInputFormatFlags) override { return S_OK; }
    HRESULT VideoInputFrameArrived(IDeckLinkVideoInputFrame* video, IDeckLinkAudioInputPacket* audio) override {
        Arrival a;
        DeckLinkRef<IDeckLinkTimecode> tc;
        uint8_t h = 0, m = 0, s = 0, f = 0;
        if (video != nullptr) a.width = video->GetWidth();
        if (video != nullptr && video->GetTimecode(kTimecodeVITC, tc.put()) == S_OK &&
            tc->GetComponents(&h, &m, &s, &f) == S_OK)
            a.timecode = ((h - 10) * 3600 + m * 60 + s) * long(base_) + f;
        if (audio != nullptr) a.audioFrames = audio->GetSampleFrameCount();
        std::lock_guard lock(mutex_);
        arrivals_.push_back(a);
        changed_.notify_all();
        return S_OK;
    }
    std::vector<Arrival> waitFor(size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [&] { return arrivals_.size() >= count; });
        return arrivals_;
    }

private:
    const unsigned base_;
    std::atomic<ULONG> refs_{1};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Arrival> arrivals_;
};

// every: callbacks per picture; cadence: audio sample frames per callback.
struct Conversion {
    const char* name; BMDDisplayMode mode; int64_t conversion; long width; unsigned base; size_t every;
    std::array<long, 5> cadence;
};
void PrintTo(const Conversion& c, std::ostream* out) { *out << c.name; }

class CardDownConversions : public testing::TestWithParam<Conversion> {};

}  // namespace

TEST_P(CardDownConversions, GiveSdPicturesAtThePictureRateWithTheSourcesSoundOnEveryCallback) {
    const Conversion& c = GetParam();
    static const testing_support::TempDir root;  // the library reads its environment once per process
    setenv("QVA_ROOT", root.path().c_str(), 1);
    std::filesystem::create_directories(root / "sim");
    DeckLinkRef<IDeckLinkIterator> iterator(CreateDeckLinkIteratorInstance());
    ASSERT_TRUE(iterator) << "libDeckLinkAPI.so did not load";
    DeckLinkRef<IDeckLink> device;
    DeckLinkRef<IDeckLinkInput> input;
    DeckLinkRef<IDeckLinkConfiguration> config;
    ASSERT_EQ(iterator->Next(device.put()), S_OK);
    ASSERT_EQ(device->QueryInterface(IID_IDeckLinkInput, input.putVoid()), S_OK);
    ASSERT_EQ(input->QueryInterface(IID_IDeckLinkConfiguration, config.putVoid()), S_OK);
    ASSERT_EQ(config->SetInt(kConfigVideoInputConversionMode, c.conversion), S_OK);
    DeckLinkRef<Recorder> recorder(new Recorder(c.base));
    ASSERT_EQ(input->SetCallback(recorder.get()), S_OK);
    ASSERT_EQ(input->EnableVideoInput(c.mode, kPixelFormat8BitYUV, kVideoInputFlagDefault), S_OK);
    ASSERT_EQ(input->EnableAudioInput(48000, 16, 8), S_OK);
    ASSERT_EQ(input->StartStreams(), S_OK);
    const size_t wanted = c.every * (c.base + 2);  // the time code rolls a second
    const std::vector<Arrival> arrivals = recorder->waitFor(wanted);
    input->StopStreams();
    input->SetCallback(nullptr);
    ASSERT_GE(arrivals.size(), wanted);
    for (size_t n = 0; n < wanted; ++n) {
        SCOPED_TRACE("callback " + std::to_string(n));
        ASSERT_EQ(arrivals[n].audioFrames, c.cadence[n % 5]);
        ASSERT_EQ(arrivals[n].width, n % c.every == 0 ? c.width : -1);
        EXPECT_EQ(arrivals[n].timecode, n % c.every == 0 ? long(n / c.every) : -1);
    }
}

constexpr int64_t k10am = kConversionDown1080Anamorphic, k72am = kConversionDown720Anamorphic;
INSTANTIATE_TEST_SUITE_P(
    DownConversions, CardDownConversions,
    testing::Values(Conversion{"pal_10am", kModePal, k10am, 720, 25, 1, {1920, 1920, 1920, 1920, 1920}},
                    Conversion{"pal_72am", kModePal, k72am, 720, 25, 2, {960, 960, 960, 960, 960}},
                    Conversion{"ntsc_72am", kModeNtsc, k72am, 720, 30, 2, {801, 801, 801, 801, 800}}),
    [](const auto& info) { return std::string(info.param.name); });
