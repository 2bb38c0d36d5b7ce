// The simulated card's down-conversions: the recording tests stream only the
// plain modes (judged there on every picture and tone), so these are the
// card's alone. Opened through the product's loader, as the real card is.
#include "capture/CaptureCard.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <array>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

// One line per callback: the picture's width and time code (frames since
// 10:00:00:00), if there is a picture, and the sound's sample frames.
class Recorder final : public IDeckLinkInputCallback {
public:
    explicit Recorder(long base) : base_(base) {}
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override { return --refs_ == 0 ? (delete this, 0) : ULONG(refs_); }
    HRESULT VideoInputFormatChanged(BMDVideoInputFormatChangedEvents, IDeckLinkDisplayMode*,
                                    BMDDetectedVideoInputFormatFlags) override { return S_OK; }
    HRESULT VideoInputFrameArrived(IDeckLinkVideoInputFrame* video, IDeckLinkAudioInputPacket* audio) override {
        std::string line;
        DeckLinkRef<IDeckLinkTimecode> tc;
        uint8_t h = 0, m = 0, s = 0, f = 0;
        if (video != nullptr && video->GetTimecode(kTimecodeVITC, tc.put()) == S_OK &&
            tc->GetComponents(&h, &m, &s, &f) == S_OK)
            line = picture(video->GetWidth(), ((h - 10) * 3600 + m * 60 + s) * base_ + f);
        line += std::to_string(audio != nullptr ? audio->GetSampleFrameCount() : -1);
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
        changed_.notify_all();
        return S_OK;
    }
    std::vector<std::string> first(size_t count) {  // within 10 s
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return lines_.size() >= count; });
        return {lines_.begin(), lines_.begin() + long(std::min(count, lines_.size()))};
    }
    static std::string picture(long width, long frame) {
        return std::to_string(width) + " wide, frame " + std::to_string(frame) + ", ";
    }

private:
    const long base_;
    std::atomic<ULONG> refs_{1};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// every: callbacks per picture; cadence: audio sample frames per callback.
struct Conversion {
    const char* name; BMDDisplayMode mode; int64_t conversion; long base; size_t every; std::array<long, 5> cadence;
};
void PrintTo(const Conversion& c, std::ostream* out) { *out << c.name; }

class CardDownConversions : public testing::TestWithParam<Conversion> {};

}  // namespace

TEST_P(CardDownConversions, GiveSdPicturesAtThePictureRateWithTheSourcesSoundOnEveryCallback) {
    const Conversion& c = GetParam();
    static const testing_support::TempDir root;  // the library reads its environment once per process
    setenv("QVA_ROOT", root.path().c_str(), 1);
    std::filesystem::create_directories(root / "sim");
    CaptureCard card = openFirstCard(CreateDeckLinkIteratorInstance());
    ASSERT_EQ(card.failure, nullptr) << card.failure;
    DeckLinkRef<IDeckLinkConfiguration> config;
    ASSERT_EQ(card.input->QueryInterface(IID_IDeckLinkConfiguration, config.putVoid()), S_OK);
    ASSERT_EQ(config->SetInt(kConfigVideoInputConversionMode, c.conversion), S_OK);
    DeckLinkRef<Recorder> recorder(new Recorder(c.base));
    ASSERT_EQ(card.input->SetCallback(recorder.get()), S_OK);
    ASSERT_EQ(card.input->EnableVideoInput(c.mode, kPixelFormat8BitYUV, kVideoInputFlagDefault), S_OK);
    ASSERT_EQ(card.input->EnableAudioInput(48000, 16, 8), S_OK);
    ASSERT_EQ(card.input->StartStreams(), S_OK);
    std::vector<std::string> expected;  // past a time-code second
    for (size_t n = 0; n < c.every * size_t(c.base + 2); ++n)
        expected.push_back((n % c.every ? "" : Recorder::picture(720, long(n / c.every))) +
                           std::to_string(c.cadence[n % 5]));
    EXPECT_EQ(recorder->first(expected.size()), expected);
    card.input->StopStreams();
    card.input->SetCallback(nullptr);
}

constexpr int64_t k10am = kConversionDown1080Anamorphic, k72am = kConversionDown720Anamorphic;
INSTANTIATE_TEST_SUITE_P(
    DownConversions, CardDownConversions,
    testing::Values(Conversion{"pal_10am", kModePal, k10am, 25, 1, {1920, 1920, 1920, 1920, 1920}},
                    Conversion{"pal_72am", kModePal, k72am, 25, 2, {960, 960, 960, 960, 960}},
                    Conversion{"ntsc_72am", kModeNtsc, k72am, 30, 2, {801, 801, 801, 801, 800}}),
    [](const auto& info) { return std::string(info.param.name); });
