#include "core/Supervisor.h"

#include <gtest/gtest.h>

#include "FakeCard.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

std::string code(int64_t value) {
    if (value < 256) return std::to_string(value);
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) text += static_cast<char>((value >> shift) & 0xFF);
    return text;
}

// A card input that records what it is told. Stack objects: counting ends nothing.
class FakeConfiguration : public IDeckLinkConfiguration {
public:
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT SetInt(BMDConfigurationID id, int64_t value) override {
        calls.push_back(code(id) + "=" + code(value));
        return refused.count(id) ? E_FAIL : S_OK;
    }
    std::vector<std::string> calls;
    std::set<BMDConfigurationID> refused;
    ULONG refs = 0;
};

class FakeInput : public IDeckLinkInput {
public:
    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IDeckLinkConfiguration && hasConfig) {
            config.AddRef();
            *out = &config;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT EnableVideoInput(BMDDisplayMode mode, BMDPixelFormat format, BMDVideoInputFlags) override {
        calls.push_back("video " + code(mode) + " " + code(format));
        return refuseVideo ? E_FAIL : S_OK;
    }
    HRESULT DisableVideoInput() override { return record("disable video"); }
    HRESULT EnableAudioInput(BMDAudioSampleRate rate, BMDAudioSampleType type, uint32_t channels) override {
        calls.push_back("audio " + std::to_string(rate) + " " + std::to_string(type) + " " +
                        std::to_string(channels));
        return refuseAudio ? E_FAIL : S_OK;
    }
    HRESULT DisableAudioInput() override { return record("disable audio"); }
    HRESULT StartStreams() override { return record("start"); }
    HRESULT StopStreams() override { return record("stop"); }
    HRESULT FlushStreams() override { return record("flush"); }
    HRESULT SetCallback(IDeckLinkInputCallback*) override { return S_OK; }

    HRESULT record(const std::string& call) {
        calls.push_back(call);
        return S_OK;
    }
    FakeConfiguration config;
    std::vector<std::string> calls;
    bool hasConfig = true, refuseVideo = false, refuseAudio = false;
};

struct Fixture {
    FakeInput input;
    DeviceState state;
    VideoQueue queue;
    StreamBuffer buffer;
    std::vector<uint32_t> passes;
    size_t leftOverAtPass = 0;
    Supervisor supervisor{&input, state, queue, buffer,
                          [this](uint32_t mode) {
                              passes.push_back(mode);
                              leftOverAtPass = queue.audioQueued() + buffer.queued();
                          },
                          std::chrono::milliseconds(0)};
};

}  // namespace

TEST(Supervisor, SdiWithEmbeddedAudio) {
    Fixture f;
    store(f.state.audioChannel, 3);
    EXPECT_EQ(f.supervisor.configureCard(), kModePal);
    EXPECT_EQ(f.input.config.calls, (std::vector<std::string>{"vicm=none", "aicn=embd", "vicn=1"}));
    EXPECT_EQ(f.input.calls, (std::vector<std::string>{"stop", "disable audio", "disable video",
                                                       "video pal  2vuy", "audio 48000 16 8", "start"}));
    EXPECT_EQ(load(f.state.audioChannel), 3);  // embedded audio keeps the pair
    EXPECT_FALSE(load(f.state.audioWithoutVideo));
    EXPECT_EQ(f.input.config.refs, 0u);  // the per-pass interface is released
}

TEST(Supervisor, DownConverted720pDeliversAudioWithoutVideo) {
    Fixture f;
    store(f.state.inputMode, kModeHp59);
    store(f.state.downConvert, true);
    store(f.state.aesAudio, true);
    store(f.state.audioChannel, 2);
    EXPECT_EQ(f.supervisor.configureCard(), kModeNtsc);
    EXPECT_EQ(f.input.config.calls, (std::vector<std::string>{"vicm=72am", "aicn=aes ", "vicn=1"}));
    EXPECT_TRUE(load(f.state.audioWithoutVideo));
    EXPECT_EQ(load(f.state.inputMode), kModeHp59);  // the setting itself stays
    EXPECT_EQ(load(f.state.audioChannel), 0);       // AES/EBU resets the pair
}

TEST(Supervisor, CompositeForcesStandardDefinition) {
    Fixture f;
    store(f.state.inputMode, kModeHi50);
    store(f.state.composite, true);
    store(f.state.palMode, false);
    store(f.state.downConvert, true);
    testing::internal::CaptureStderr();
    EXPECT_EQ(f.supervisor.configureCard(), kModeNtsc);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Composite***************************************\n");
    EXPECT_EQ(f.input.config.calls, (std::vector<std::string>{"vicm=none", "aicn=anlg", "vicn=16"}));
    EXPECT_EQ(load(f.state.inputMode), kModeNtsc);
    EXPECT_FALSE(load(f.state.audioWithoutVideo));
}

TEST(Supervisor, AudioConnectionChoices) {
    Fixture analog;
    store(analog.state.analogAudio, true);
    store(analog.state.audioChannel, 1);
    analog.supervisor.configureCard();
    EXPECT_EQ(analog.input.config.calls[1], "aicn=anlg");
    EXPECT_EQ(load(analog.state.audioChannel), 0);

    // Both set: the card's audio input is left as it was, and so is the pair.
    Fixture both;
    store(both.state.analogAudio, true);
    store(both.state.aesAudio, true);
    store(both.state.audioChannel, 1);
    both.supervisor.configureCard();
    EXPECT_EQ(both.input.config.calls, (std::vector<std::string>{"vicm=none", "vicn=1"}));
    EXPECT_EQ(load(both.state.audioChannel), 1);
}

TEST(Supervisor, RefusedSettingsAreReportedAndThePassGoesOn) {
    Fixture f;
    f.input.config.refused = {kConfigVideoInputConversionMode, kConfigAudioInputConnection,
                              kConfigVideoInputConnection};
    testing::internal::CaptureStderr();
    EXPECT_EQ(f.supervisor.configureCard(), kModePal);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to downconvert\nFailed to Embedded\nFailed to SDI\n");

    Fixture c;
    store(c.state.composite, true);
    c.input.config.refused = {kConfigAudioInputConnection, kConfigVideoInputConnection};
    testing::internal::CaptureStderr();
    c.supervisor.configureCard();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Composite***************************************\nFailed to analog\nFailed to Composite\n");
}

TEST(SupervisorDeathTest, CardRefusalsEndTheProcess) {
    EXPECT_EXIT(
        {
            Fixture f;
            f.input.hasConfig = false;
            f.supervisor.configureCard();
        },
        testing::ExitedWithCode(1), "^Could not get config interface\n$");
    EXPECT_EXIT(
        {
            Fixture f;
            f.input.refuseVideo = true;
            f.supervisor.configureCard();
        },
        testing::ExitedWithCode(1),
        "^Failed to enable video input 1. Is another application using the card \\?\n$");
    EXPECT_EXIT(
        {
            Fixture f;
            f.input.refuseAudio = true;
            f.supervisor.configureCard();
        },
        testing::ExitedWithCode(1), "^Failed to enable audio\n$");
}

TEST(Supervisor, PassRunsInTheEffectiveModeAndClearsTheRestartRequest) {
    Fixture f;
    store(f.state.inputMode, kModeHi50);
    store(f.state.downConvert, true);
    store(f.state.restartCapture, true);  // raised while reconfiguring
    FakeAudioPacket packet(std::vector<int16_t>(8 * 4, 1));
    f.queue.putAudioFrame(&packet);
    f.buffer.putData("old pass", 8);
    f.supervisor.runOnePass();
    EXPECT_EQ(f.passes, (std::vector<uint32_t>{kModePal}));
    EXPECT_EQ(f.leftOverAtPass, 0u);  // nothing of the old configuration reached the pass
    EXPECT_FALSE(load(f.state.restartCapture));
}
