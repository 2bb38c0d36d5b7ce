// The capture card's programming interface, as far as the recorder uses it.
//
// The card comes with a closed library, "libDeckLinkAPI.so", loaded at run
// time. These are our own declarations of the few interfaces, methods,
// identifiers and codes the recorder calls; the library (or the simulated card
// built from sim/decklink) implements them. Objects follow the reference
// counting pattern of IUnknown: whoever keeps a pointer AddRefs it and
// Releases it when done.
#pragma once

#include <cstdint>
#include <cstring>

using HRESULT = int32_t;
using ULONG = uint32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80000008u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80000004u);

// A 16-byte interface identifier, passed by value.
struct REFIID {
    uint8_t bytes[16];
    friend bool operator==(const REFIID& a, const REFIID& b) {
        return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
    }
};

// AF22762B-DFAC-4846-AA79-FA8883560995
constexpr REFIID IID_IDeckLinkInput = {{0xAF, 0x22, 0x76, 0x2B, 0xDF, 0xAC, 0x48, 0x46,
                                        0xAA, 0x79, 0xFA, 0x88, 0x83, 0x56, 0x09, 0x95}};
// C679A35B-610C-4D09-B748-1D0478100FC0
constexpr REFIID IID_IDeckLinkConfiguration = {{0xC6, 0x79, 0xA3, 0x5B, 0x61, 0x0C, 0x4D, 0x09,
                                                0xB7, 0x48, 0x1D, 0x04, 0x78, 0x10, 0x0F, 0xC0}};

// Four-character codes: the first character is the most significant byte.
constexpr uint32_t fourCC(const char (&code)[5]) {
    return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
           (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3]));
}

using BMDDisplayMode = uint32_t;
using BMDPixelFormat = uint32_t;
using BMDVideoInputFlags = uint32_t;
using BMDFrameFlags = uint32_t;
using BMDTimecodeFormat = uint32_t;
using BMDConfigurationID = uint32_t;
using BMDVideoInputFormatChangedEvents = uint32_t;
using BMDDetectedVideoInputFormatFlags = uint32_t;
using BMDAudioSampleRate = uint32_t;
using BMDAudioSampleType = uint32_t;

// Display modes.
constexpr BMDDisplayMode kModeHi50 = fourCC("Hi50");  // 1080i 50
constexpr BMDDisplayMode kModeHi59 = fourCC("Hi59");  // 1080i 59.94
constexpr BMDDisplayMode kModeHp50 = fourCC("hp50");  // 720p 50
constexpr BMDDisplayMode kModeHp59 = fourCC("hp59");  // 720p 59.94
constexpr BMDDisplayMode kModePal = fourCC("pal ");   // 576i 50
constexpr BMDDisplayMode kModeNtsc = fourCC("ntsc");  // 480i 59.94

constexpr BMDPixelFormat kPixelFormat8BitYUV = fourCC("2vuy");  // UYVY 4:2:2
constexpr BMDVideoInputFlags kVideoInputFlagDefault = 0;
constexpr BMDFrameFlags kFrameHasNoInputSource = 0x80000000u;

constexpr BMDAudioSampleRate kAudioSampleRate48kHz = 48000;
constexpr BMDAudioSampleType kAudioSampleType16bit = 16;
constexpr uint32_t kCapturedAudioChannels = 8;

// Time-code formats, in the order the recorder asks for them.
constexpr BMDTimecodeFormat kTimecodeVITC = fourCC("vitc");
constexpr BMDTimecodeFormat kTimecodeRP188 = fourCC("rp18");
constexpr BMDTimecodeFormat kTimecodeRP188LTC = fourCC("rplt");
constexpr BMDTimecodeFormat kTimecodeRP188VITC1 = fourCC("rpv1");
constexpr BMDTimecodeFormat kTimecodeRP188VITC2 = fourCC("rp12");

// Configuration ids and their values.
constexpr BMDConfigurationID kConfigVideoInputConversionMode = fourCC("vicm");
constexpr BMDConfigurationID kConfigAudioInputConnection = fourCC("aicn");
constexpr BMDConfigurationID kConfigVideoInputConnection = fourCC("vicn");

constexpr int64_t kConversionNone = fourCC("none");
constexpr int64_t kConversionDown1080Anamorphic = fourCC("10am");
constexpr int64_t kConversionDown720Anamorphic = fourCC("72am");

constexpr int64_t kAudioConnectionEmbedded = fourCC("embd");
constexpr int64_t kAudioConnectionAESEBU = fourCC("aes ");
constexpr int64_t kAudioConnectionAnalog = fourCC("anlg");

constexpr int64_t kVideoConnectionSDI = 1;
constexpr int64_t kVideoConnectionComposite = 16;

class IUnknown {
public:
    virtual HRESULT QueryInterface(REFIID iid, void** out) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;  // objects end through Release
};

class IDeckLinkTimecode : public IUnknown {
public:
    virtual HRESULT GetComponents(uint8_t* hours, uint8_t* minutes, uint8_t* seconds,
                                  uint8_t* frames) = 0;

protected:
    ~IDeckLinkTimecode() = default;
};

class IDeckLinkVideoFrame : public IUnknown {
public:
    virtual long GetWidth() = 0;
    virtual long GetHeight() = 0;
    virtual long GetRowBytes() = 0;
    virtual BMDPixelFormat GetPixelFormat() = 0;
    virtual BMDFrameFlags GetFlags() = 0;
    virtual HRESULT GetBytes(void** buffer) = 0;
    // On success *timecode holds a reference that the caller releases.
    virtual HRESULT GetTimecode(BMDTimecodeFormat format, IDeckLinkTimecode** timecode) = 0;

protected:
    ~IDeckLinkVideoFrame() = default;
};

class IDeckLinkVideoInputFrame : public IDeckLinkVideoFrame {
protected:
    ~IDeckLinkVideoInputFrame() = default;
};

class IDeckLinkAudioInputPacket : public IUnknown {
public:
    // Sample frames of kCapturedAudioChannels interleaved 16-bit samples.
    virtual long GetSampleFrameCount() = 0;
    virtual HRESULT GetBytes(void** buffer) = 0;

protected:
    ~IDeckLinkAudioInputPacket() = default;
};

class IDeckLinkDisplayMode;  // only passed through, never called

class IDeckLinkInputCallback : public IUnknown {
public:
    virtual HRESULT VideoInputFormatChanged(BMDVideoInputFormatChangedEvents events,
                                            IDeckLinkDisplayMode* mode,
                                            BMDDetectedVideoInputFormatFlags flags) = 0;
    // Either argument may be null. Called on the library's own thread.
    virtual HRESULT VideoInputFrameArrived(IDeckLinkVideoInputFrame* video,
                                           IDeckLinkAudioInputPacket* audio) = 0;
    virtual ~IDeckLinkInputCallback() {}
};

class IDeckLinkConfiguration : public IUnknown {
public:
    virtual HRESULT SetInt(BMDConfigurationID id, int64_t value) = 0;

protected:
    ~IDeckLinkConfiguration() = default;
};

class IDeckLinkInput : public IUnknown {
public:
    virtual HRESULT EnableVideoInput(BMDDisplayMode mode, BMDPixelFormat format,
                                     BMDVideoInputFlags flags) = 0;
    virtual HRESULT DisableVideoInput() = 0;
    virtual HRESULT EnableAudioInput(BMDAudioSampleRate rate, BMDAudioSampleType type,
                                     uint32_t channelCount) = 0;
    virtual HRESULT DisableAudioInput() = 0;
    virtual HRESULT StartStreams() = 0;
    virtual HRESULT StopStreams() = 0;
    virtual HRESULT FlushStreams() = 0;
    // The input keeps a reference on the callback.
    virtual HRESULT SetCallback(IDeckLinkInputCallback* callback) = 0;

protected:
    ~IDeckLinkInput() = default;
};

class IDeckLink : public IUnknown {
public:
    // *name is allocated with malloc; the caller frees it.
    virtual HRESULT GetModelName(char** name) = 0;

protected:
    ~IDeckLink() = default;
};

class IDeckLinkIterator : public IUnknown {
public:
    // S_OK with a referenced device, or a failure when there are no more.
    virtual HRESULT Next(IDeckLink** device) = 0;

protected:
    ~IDeckLinkIterator() = default;
};

class IDeckLinkAPIInformation;  // exported by the library, unused
class IDeckLinkVideoConversion;  // exported by the library, unused

// Loader: the first call opens the library (once for the process) and looks
// up its three creators, printing the loader's error for any that is missing;
// returns null when the library or the iterator creator is missing.
IDeckLinkIterator* CreateDeckLinkIteratorInstance();
bool IsDeckLinkAPIPresent();

// The library's exported creators.
extern "C" {
using CreateIteratorFunc = IDeckLinkIterator* (*)();
using CreateAPIInformationFunc = IDeckLinkAPIInformation* (*)();
using CreateVideoConversionFunc = IDeckLinkVideoConversion* (*)();
}
