// The capture card's programming interface, in the vendor's binary layout.
//
// The card comes with a closed library, "libDeckLinkAPI.so", loaded at run
// time. These are our own declarations of the interfaces the recorder calls
// or implements. The library calls through C++ virtual tables by slot
// number, so each interface lists every method of the vendor's table, in the
// table's order and with its parameter and result types, including methods
// the recorder never calls: they hold the others in their slots. The comment
// after each method is its slot (IUnknown's three come first). A destructor
// comes after the methods, as in the vendor's classes; objects end through
// Release, never through it.
//
// The generation is the one whose interface ids the recorder asks for (input
// AF22762B, configuration C679A35B) with the iterator creator
// CreateDeckLinkIteratorInstance_0002. Declarations and ids must come from
// the same generation: a newer library answers our ids with this layout.
// tests/unit/CardLayoutTest.cpp checks every slot the recorder uses against
// tables built without these declarations.
#pragma once

#include <cstdint>
#include <cstring>

using HRESULT = int32_t;
using ULONG = unsigned long;  // 64 bits on the box's Linux targets

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80000001u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x80000002u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80000003u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80000004u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80000005u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80000008u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);

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
using BMDDisplayModeSupport = uint32_t;
using BMDTimecodeBCD = uint32_t;
using BMDTimecodeFlags = uint32_t;
using BMDTimecodeUserBits = uint32_t;
using BMDTimeValue = int64_t;
using BMDTimeScale = int64_t;

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

class IDeckLinkDisplayMode;            // only passed through, never called
class IDeckLinkDisplayModeIterator;
class IDeckLinkScreenPreviewCallback;
class IDeckLinkMemoryAllocator;
class IDeckLinkVideoFrameAncillary;

class IUnknown {
public:
    virtual HRESULT QueryInterface(REFIID iid, void** out) = 0;  // 0
    virtual ULONG AddRef() = 0;                                   // 1
    virtual ULONG Release() = 0;                                  // 2

protected:
    ~IUnknown() = default;  // no slot: objects end through Release
};

class IDeckLinkTimecode : public IUnknown {
public:
    virtual BMDTimecodeBCD GetBCD() = 0;                                      // 3
    virtual HRESULT GetComponents(uint8_t* hours, uint8_t* minutes, uint8_t* seconds,
                                  uint8_t* frames) = 0;                       // 4
    // *text is allocated by the library; the caller frees it.
    virtual HRESULT GetString(const char** text) = 0;                         // 5
    virtual BMDTimecodeFlags GetFlags() = 0;                                  // 6
    virtual HRESULT GetTimecodeUserBits(BMDTimecodeUserBits* userBits) = 0;   // 7

protected:
    virtual ~IDeckLinkTimecode() {}
};

class IDeckLinkVideoFrame : public IUnknown {
public:
    virtual long GetWidth() = 0;                                              // 3
    virtual long GetHeight() = 0;                                             // 4
    virtual long GetRowBytes() = 0;                                           // 5
    virtual BMDPixelFormat GetPixelFormat() = 0;                              // 6
    virtual BMDFrameFlags GetFlags() = 0;                                     // 7
    virtual HRESULT GetBytes(void** buffer) = 0;                              // 8
    // On success *timecode holds a reference that the caller releases.
    virtual HRESULT GetTimecode(BMDTimecodeFormat format,
                                IDeckLinkTimecode** timecode) = 0;            // 9
    virtual HRESULT GetAncillaryData(IDeckLinkVideoFrameAncillary** ancillary) = 0;  // 10

protected:
    virtual ~IDeckLinkVideoFrame() {}  // 11 and 12: the ABI's two destructor entries
};

class IDeckLinkVideoInputFrame : public IDeckLinkVideoFrame {
public:
    virtual HRESULT GetStreamTime(BMDTimeValue* frameTime, BMDTimeValue* frameDuration,
                                  BMDTimeScale timeScale) = 0;                // 13
    virtual HRESULT GetHardwareReferenceTimestamp(BMDTimeScale timeScale, BMDTimeValue* frameTime,
                                                  BMDTimeValue* frameDuration) = 0;  // 14

protected:
    virtual ~IDeckLinkVideoInputFrame() {}
};

class IDeckLinkAudioInputPacket : public IUnknown {
public:
    // Sample frames of kCapturedAudioChannels interleaved 16-bit samples.
    virtual long GetSampleFrameCount() = 0;                                   // 3
    virtual HRESULT GetBytes(void** buffer) = 0;                              // 4
    virtual HRESULT GetPacketTime(BMDTimeValue* packetTime, BMDTimeScale timeScale) = 0;  // 5

protected:
    virtual ~IDeckLinkAudioInputPacket() {}
};

class IDeckLinkInputCallback : public IUnknown {
public:
    virtual HRESULT VideoInputFormatChanged(BMDVideoInputFormatChangedEvents events,
                                            IDeckLinkDisplayMode* mode,
                                            BMDDetectedVideoInputFormatFlags flags) = 0;  // 3
    // Either argument may be null. Called on the library's own thread.
    virtual HRESULT VideoInputFrameArrived(IDeckLinkVideoInputFrame* video,
                                           IDeckLinkAudioInputPacket* audio) = 0;         // 4

protected:
    virtual ~IDeckLinkInputCallback() {}
};

class IDeckLinkConfiguration : public IUnknown {
public:
    virtual HRESULT SetFlag(BMDConfigurationID id, bool value) = 0;           // 3
    virtual HRESULT GetFlag(BMDConfigurationID id, bool* value) = 0;          // 4
    virtual HRESULT SetInt(BMDConfigurationID id, int64_t value) = 0;         // 5
    virtual HRESULT GetInt(BMDConfigurationID id, int64_t* value) = 0;        // 6
    virtual HRESULT SetFloat(BMDConfigurationID id, double value) = 0;        // 7
    virtual HRESULT GetFloat(BMDConfigurationID id, double* value) = 0;       // 8
    virtual HRESULT SetString(BMDConfigurationID id, const char* value) = 0;  // 9
    // *value is allocated by the library; the caller frees it.
    virtual HRESULT GetString(BMDConfigurationID id, const char** value) = 0;  // 10
    virtual HRESULT WriteConfigurationToPreferences() = 0;                    // 11

protected:
    virtual ~IDeckLinkConfiguration() {}
};

class IDeckLinkInput : public IUnknown {
public:
    virtual HRESULT DoesSupportVideoMode(BMDDisplayMode mode, BMDPixelFormat format,
                                         BMDVideoInputFlags flags, BMDDisplayModeSupport* support,
                                         IDeckLinkDisplayMode** displayMode) = 0;   // 3
    virtual HRESULT GetDisplayModeIterator(IDeckLinkDisplayModeIterator** iterator) = 0;  // 4
    virtual HRESULT SetScreenPreviewCallback(IDeckLinkScreenPreviewCallback* callback) = 0;  // 5
    virtual HRESULT EnableVideoInput(BMDDisplayMode mode, BMDPixelFormat format,
                                     BMDVideoInputFlags flags) = 0;             // 6
    virtual HRESULT DisableVideoInput() = 0;                                    // 7
    virtual HRESULT GetAvailableVideoFrameCount(uint32_t* frames) = 0;          // 8
    virtual HRESULT SetVideoInputFrameMemoryAllocator(IDeckLinkMemoryAllocator* allocator) = 0;  // 9
    virtual HRESULT EnableAudioInput(BMDAudioSampleRate rate, BMDAudioSampleType type,
                                     uint32_t channelCount) = 0;               // 10
    virtual HRESULT DisableAudioInput() = 0;                                    // 11
    virtual HRESULT GetAvailableAudioSampleFrameCount(uint32_t* sampleFrames) = 0;  // 12
    virtual HRESULT StartStreams() = 0;                                         // 13
    virtual HRESULT StopStreams() = 0;                                          // 14
    virtual HRESULT PauseStreams() = 0;                                         // 15
    virtual HRESULT FlushStreams() = 0;                                         // 16
    // The input keeps a reference on the callback.
    virtual HRESULT SetCallback(IDeckLinkInputCallback* callback) = 0;          // 17
    virtual HRESULT GetHardwareReferenceClock(BMDTimeScale timeScale, BMDTimeValue* hardwareTime,
                                              BMDTimeValue* timeInFrame,
                                              BMDTimeValue* ticksPerFrame) = 0;  // 18

protected:
    virtual ~IDeckLinkInput() {}
};

class IDeckLink : public IUnknown {
public:
    // *name is allocated by the library; the caller frees it.
    virtual HRESULT GetModelName(const char** name) = 0;                        // 3
    virtual HRESULT GetDisplayName(const char** name) = 0;                      // 4

protected:
    virtual ~IDeckLink() {}
};

class IDeckLinkIterator : public IUnknown {
public:
    // S_OK with a referenced device, or another result when there are no more.
    virtual HRESULT Next(IDeckLink** device) = 0;                               // 3

protected:
    virtual ~IDeckLinkIterator() {}
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
