// The simulated card's down-conversion from 720p, which no recording test
// streams: SD pictures on every second callback, the source's sound on each.
// Opened through the product's loader, as the real card is.
#include "capture/CaptureCard.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

// One line per callback: the picture's width and time code, if there is a
// picture, and the sound's sample frames.
class Recorder final : public IDeckLinkInputCallback {
public:
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override { return --refs_ == 0 ? (delete this, 0) : ULONG(refs_); }
    HRESULT VideoInputFormatChanged(BMDVideoInputFormatChangedEvents, IDeckLinkDisplayMode*,
                                    BMDDetectedVideoInputFormatFlags) override { return S_OK; }
    HRESULT VideoInputFrameArrived(IDeckLinkVideoInputFrame* video, IDeckLinkAudioInputPacket* audio) override {
        std::string line;
        DeckLinkRef<IDeckLinkTimecode> tc;
        uint8_t c[4] = {};
        if (video != nullptr && video->GetTimecode(kTimecodeVITC, tc.put()) == S_OK &&
            tc->GetComponents(&c[0], &c[1], &c[2], &c[3]) == S_OK)
            line = picture(video->GetWidth(), c[0], c[1], c[2], c[3]);
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
    static std::string picture(long width, int h, int m, int s, int f) {
        return std::to_string(width) + " at " + std::to_string(((h * 60 + m) * 60 + s) * 100 + f) + ", ";
    }

private:
    std::atomic<ULONG> refs_{1};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

}  // namespace

TEST(SimulatedCard, DownConvertedFrom720pItGivesAnSdPictureEverySecondCallbackAndSoundOnEach) {
    const testing_support::TempDir root;  // the library reads its environment once, at the first load
    setenv("QVA_ROOT", root.path().c_str(), 1);
    std::filesystem::create_directories(root / "sim");
    CaptureCard card = openFirstCard(CreateDeckLinkIteratorInstance());
    ASSERT_EQ(card.failure, nullptr) << card.failure;
    DeckLinkRef<IDeckLinkConfiguration> config;
    ASSERT_EQ(card.input->QueryInterface(IID_IDeckLinkConfiguration, config.putVoid()), S_OK);
    ASSERT_EQ(config->SetInt(kConfigVideoInputConversionMode, kConversionDown720Anamorphic), S_OK);
    DeckLinkRef<Recorder> recorder(new Recorder);
    ASSERT_EQ(card.input->SetCallback(recorder.get()), S_OK);
    ASSERT_EQ(card.input->EnableVideoInput(kModeNtsc, kPixelFormat8BitYUV, kVideoInputFlagDefault), S_OK);
    ASSERT_EQ(card.input->EnableAudioInput(48000, 16, 8), S_OK);
    ASSERT_EQ(card.input->StartStreams(), S_OK);
    std::vector<std::string> expected;  // the time code counts pictures, 30 to the second
    for (int n = 0; n < 64; ++n)
        expected.push_back((n % 2 ? "" : Recorder::picture(720, 10, 0, n / 60, n / 2 % 30)) +
                           (n % 5 == 4 ? "800" : "801"));
    EXPECT_EQ(recorder->first(expected.size()), expected);
    card.input->StopStreams();
    card.input->SetCallback(nullptr);
}
