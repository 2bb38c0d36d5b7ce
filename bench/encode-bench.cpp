// encode-bench --mode CODE --input FILE.uyvy --frames N --out FILE.ts
//
// Runs one real encoder pass over N frames read from a raw UYVY file of the
// mode's size (looped when shorter), with audio of matching length, keeping
// the frame queue fed so the encoder never waits. Prints fps=<frames per
// second> as its last line.
#include "capture/DeckLinkAPI.h"
#include "capture/VideoQueue.h"
#include "encode/EncoderMode.h"
#include "encode/VideoEncoder.h"
#include "platform/MemoryTuning.h"
#include "record/StreamBuffer.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

// A captured frame or packet handed to the queue, as the card would.
class BenchFrame : public IDeckLinkVideoInputFrame {
public:
    BenchFrame(long width, long height, uint8_t* bytes) : width_(width), height_(height), bytes_(bytes) {}
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    long GetWidth() override { return width_; }
    long GetHeight() override { return height_; }
    long GetRowBytes() override { return width_ * 2; }
    BMDPixelFormat GetPixelFormat() override { return kPixelFormat8BitYUV; }
    BMDFrameFlags GetFlags() override { return 0; }
    HRESULT GetBytes(void** buffer) override {
        *buffer = bytes_;
        return S_OK;
    }
    HRESULT GetTimecode(BMDTimecodeFormat, IDeckLinkTimecode** timecode) override {
        *timecode = nullptr;
        return E_FAIL;
    }
    HRESULT GetAncillaryData(IDeckLinkVideoFrameAncillary**) override { return E_NOTIMPL; }
    HRESULT GetStreamTime(BMDTimeValue*, BMDTimeValue*, BMDTimeScale) override { return E_NOTIMPL; }
    HRESULT GetHardwareReferenceTimestamp(BMDTimeScale, BMDTimeValue*, BMDTimeValue*) override {
        return E_NOTIMPL;
    }

private:
    long width_, height_;
    uint8_t* bytes_;
};

class BenchAudio : public IDeckLinkAudioInputPacket {
public:
    explicit BenchAudio(std::vector<int16_t>& samples, long frames) : samples_(samples), frames_(frames) {}
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    long GetSampleFrameCount() override { return frames_; }
    HRESULT GetBytes(void** buffer) override {
        *buffer = samples_.data();
        return S_OK;
    }
    HRESULT GetPacketTime(BMDTimeValue*, BMDTimeScale) override { return E_NOTIMPL; }

private:
    std::vector<int16_t>& samples_;
    long frames_;
};

const std::map<std::string, uint32_t> kModes = {{"Hi50", kModeHi50}, {"Hi59", kModeHi59},
                                                {"hp50", kModeHp50}, {"hp59", kModeHp59},
                                                {"pal", kModePal},   {"ntsc", kModeNtsc}};

int usage() {
    std::fputs("usage: encode-bench --mode Hi50|Hi59|hp50|hp59|pal|ntsc --input FILE.uyvy --frames N --out FILE.ts\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    qva::keepFrameBuffersInHeap();  // as the recorder does
    std::map<std::string, std::string> args;
    for (int i = 1; i + 1 < argc; i += 2) args[argv[i]] = argv[i + 1];
    if (!kModes.count(args["--mode"]) || args["--input"].empty() || args["--out"].empty() ||
        std::atoi(args["--frames"].c_str()) <= 0) {
        return usage();
    }
    const uint32_t mode = kModes.at(args["--mode"]);
    const int frames = std::atoi(args["--frames"].c_str());
    const EncoderMode m = encoderModeFor(mode);
    const size_t frameBytes = size_t(m.width) * size_t(m.height) * 2;

    std::ifstream in(args["--input"], std::ios::binary);
    std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t inputFrames = input.size() / frameBytes;
    if (inputFrames == 0) {
        std::fprintf(stderr, "encode-bench: %s holds no %dx%d UYVY frame\n", args["--input"].c_str(), m.width,
                     m.height);
        return 1;
    }
    std::FILE* out = std::fopen(args["--out"].c_str(), "wb");
    if (out == nullptr) {
        std::perror(args["--out"].c_str());
        return 1;
    }

    VideoQueue queue;
    StreamBuffer buffer;
    std::atomic<bool> restart{false}, pal{m.fpsDen == 1}, logo{false}, written{false};
    std::atomic<int8_t> pair{0};
    std::atomic<int32_t> timecode{0};

    std::thread card([&] {
        std::vector<int16_t> samples(8 * 1602, 1000);
        int64_t sample = 0;
        for (int f = 0; f < frames; ++f) {
            while (queue.videoQueued() >= 8) std::this_thread::sleep_for(std::chrono::milliseconds(4));
            BenchFrame frame(m.width, m.height, input.data() + (size_t(f) % inputFrames) * frameBytes);
            queue.putVideoFrame(&frame);
            const int64_t next = (int64_t(f) + 1) * 48000 * m.fpsDen / m.fpsNum;
            BenchAudio audio(samples, long(next - sample));
            queue.putAudioFrame(&audio);
            sample = next;
        }
        while (queue.videoQueued() > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        restart = true;  // the pass ends after the frame it is encoding
    });
    std::thread writer([&] {
        while (!written || buffer.queued() > 0) {
            if (buffer.queued() == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            DataPacketPtr packet = buffer.getData();
            std::fwrite(packet->data.get(), 1, size_t(packet->size), out);
        }
    });

    const auto start = std::chrono::steady_clock::now();
    { VideoEncoder pass(mode, args["--out"].c_str(), &queue, &buffer, &restart, &pair, &pal, &timecode, &logo, nullptr); }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    written = true;
    card.join();
    writer.join();
    std::fclose(out);
    std::printf("frames=%d seconds=%.3f\nfps=%.2f\n", frames, seconds, frames / seconds);
    return 0;
}
