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

// One line per callback: the picture's width and the sound's sample frames (0: none).
class Recorder final : public IDeckLinkInputCallback {
public:
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override { return --refs_ == 0 ? (delete this, 0) : ULONG(refs_); }
    HRESULT VideoInputFormatChanged(BMDVideoInputFormatChangedEvents, IDeckLinkDisplayMode*,
                                    BMDDetectedVideoInputFormatFlags) override { return S_OK; }
    HRESULT VideoInputFrameArrived(IDeckLinkVideoInputFrame* video, IDeckLinkAudioInputPacket* audio) override {
        const long width = video != nullptr ? video->GetWidth() : 0;
        const long samples = audio != nullptr ? audio->GetSampleFrameCount() : 0;
        std::lock_guard lock(mutex_);
        lines_.push_back(std::to_string(width) + " wide, " + std::to_string(samples));
        changed_.notify_all();
        return S_OK;
    }
    std::vector<std::string> first(size_t count) {  // within 10 s
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return lines_.size() >= count; });
        return {lines_.begin(), lines_.begin() + long(std::min(count, lines_.size()))};
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
    DeckLinkRef<IDeckLinkIterator> iterator(CreateDeckLinkIteratorInstance());
    CaptureCard card = openFirstCard(iterator.get());
    ASSERT_EQ(card.failure, nullptr) << card.failure;
    DeckLinkRef<IDeckLinkConfiguration> config;
    ASSERT_EQ(card.input->QueryInterface(IID_IDeckLinkConfiguration, config.putVoid()), S_OK);
    ASSERT_EQ(config->SetInt(kConfigVideoInputConversionMode, kConversionDown720Anamorphic), S_OK);
    DeckLinkRef<Recorder> recorder(new Recorder);
    ASSERT_EQ(card.input->SetCallback(recorder.get()), S_OK);
    ASSERT_EQ(card.input->EnableVideoInput(kModeNtsc, kPixelFormat8BitYUV, kVideoInputFlagDefault), S_OK);
    ASSERT_EQ(card.input->EnableAudioInput(48000, 16, 8), S_OK);
    ASSERT_EQ(card.input->StartStreams(), S_OK);
    std::vector<std::string> expected;  // five callbacks share 4004 sample frames
    for (int n = 0; n < 20; ++n)
        expected.push_back(std::string(n % 2 ? "0" : "720") + (n % 5 == 4 ? " wide, 800" : " wide, 801"));
    EXPECT_EQ(recorder->first(expected.size()), expected);
    card.input->StopStreams();
    card.input->SetCallback(nullptr);
}
