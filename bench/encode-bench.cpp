// encode-bench --mode CODE --input FILE.uyvy --frames N --out FILE.ts [--realtime 1]
//
// Runs one real encoder pass over N frames read from a raw UYVY file of the
// mode's size (looped when shorter), with audio of matching length, keeping
// the frame queue fed so the encoder never waits. Prints fps=<frames per
// second> as its last line.
//
// --realtime 1 hands the frames over at the mode's own rate, as the card
// does, and prints the latency instead: glass to file (a frame handed over
// until the last byte of its picture leaves the encoder pass) and REC to the
// first decodable picture (a recording joins at the next keyframe, so from
// any moment until that keyframe's picture is whole).
#include "capture/DeckLinkAPI.h"
#include "capture/VideoQueue.h"
#include "encode/EncoderMode.h"
#include "encode/VideoEncoder.h"
#include "platform/MemoryTuning.h"
#include "record/StreamBuffer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
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

// Each video PES of the file: its PTS (1/90000), whether it starts at a
// keyframe (random access indicator), and the offset just past its last packet.
struct Picture {
    int64_t pts;
    bool key;
    size_t end;
};
std::vector<Picture> pictures(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Picture> found;
    int videoPid = -1;
    for (size_t at = 0; at + 188 <= bytes.size(); at += 188) {
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + at);
        const int pid = ((p[1] & 0x1F) << 8) | p[2];
        const bool adaptation = (p[3] & 0x20) != 0;
        const size_t payload = adaptation ? 5 + size_t(p[4]) : 4;
        if ((p[1] & 0x40) && payload + 14 <= 188) {
            const uint8_t* pes = p + payload;
            if (pes[0] == 0 && pes[1] == 0 && pes[2] == 1 && (pes[3] & 0xF0) == 0xE0) {
                videoPid = pid;
                const int64_t pts = (int64_t(pes[9] & 0x0E) << 29) | (int64_t(pes[10]) << 22) |
                                    (int64_t(pes[11] & 0xFE) << 14) | (int64_t(pes[12]) << 7) | (pes[13] >> 1);
                found.push_back({pts, adaptation && p[4] > 0 && (p[5] & 0x40) != 0, at + 188});
                continue;
            }
        }
        if (pid == videoPid && !found.empty()) found.back().end = at + 188;
    }
    return found;
}

int printLatency(const std::string& path, const EncoderMode& m, const std::vector<double>& handedOver,
                 const std::vector<std::pair<size_t, double>>& leftAt) {
    const std::vector<Picture> all = pictures(path);
    if (all.size() < 3) return std::fputs("encode-bench: too few pictures for latency\n", stderr), 1;
    int64_t first = all[0].pts;
    for (const Picture& picture : all) first = std::min(first, picture.pts);
    const double frame = 90000.0 * m.fpsDen / m.fpsNum;
    // When the byte just before end had left the pass.
    const auto whole = [&](size_t end) {
        for (const auto& [bytes, at] : leftAt)
            if (bytes >= end) return at;
        return leftAt.back().second;
    };
    std::vector<double> glass;
    std::vector<std::pair<double, double>> keys;  // a keyframe's first byte out, its picture whole
    for (size_t i = 0; i + 1 < all.size(); ++i) {  // the last picture's end is the pass's end
        const size_t index = size_t(std::llround(double(all[i].pts - first) / frame));
        if (index >= handedOver.size()) continue;
        const double done = whole(all[i].end);
        glass.push_back(done - handedOver[index]);
        if (all[i].key) keys.emplace_back(whole(i == 0 ? 188 : all[i - 1].end + 188), done);
    }
    std::sort(glass.begin(), glass.end());
    // REC at every millisecond of the run after the first keyframe: the
    // recording begins with the next keyframe that starts after it.
    double recSum = 0, recWorst = 0;
    int recCount = 0;
    for (double rec = keys.front().first; rec < keys.back().first; rec += 0.001) {
        for (const auto& [starts, done] : keys) {
            if (starts < rec) continue;
            recSum += done - rec;
            recWorst = std::max(recWorst, done - rec);
            ++recCount;
            break;
        }
    }
    std::printf("pictures=%zu keyframes=%zu\n", glass.size(), keys.size());
    std::printf("glass_to_file_ms median=%.1f p95=%.1f worst=%.1f\n", 1000 * glass[glass.size() / 2],
                1000 * glass[glass.size() * 95 / 100], 1000 * glass.back());
    std::printf("rec_to_first_picture_ms mean=%.1f worst=%.1f\n", 1000 * recSum / std::max(recCount, 1),
                1000 * recWorst);
    return 0;
}

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

    const bool realtime = args["--realtime"] == "1";
    using Clock = std::chrono::steady_clock;
    const auto begin = Clock::now();
    const auto since = [&](Clock::time_point t) { return std::chrono::duration<double>(t - begin).count(); };
    std::vector<double> handedOver(size_t(frames), 0);
    std::vector<std::pair<size_t, double>> leftAt;  // bytes out of the pass so far, and when

    std::thread card([&] {
        std::vector<int16_t> samples(8 * 1602, 1000);
        int64_t sample = 0;
        for (int f = 0; f < frames; ++f) {
            if (realtime) std::this_thread::sleep_until(begin + std::chrono::microseconds(int64_t(f) * 1000000 * m.fpsDen / m.fpsNum));
            while (queue.videoQueued() >= 8) std::this_thread::sleep_for(std::chrono::milliseconds(4));
            handedOver[size_t(f)] = since(Clock::now());
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
        size_t total = 0;
        while (!written || buffer.queued() > 0) {
            if (buffer.queued() == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(realtime ? 1 : 20));
                continue;
            }
            DataPacketPtr packet = buffer.getData();
            std::fwrite(packet->data.get(), 1, size_t(packet->size), out);
            total += size_t(packet->size);
            leftAt.emplace_back(total, since(Clock::now()));
        }
    });

    const auto start = std::chrono::steady_clock::now();
    { VideoEncoder pass(mode, args["--out"].c_str(), &queue, &buffer, &restart, &pair, &pal, &timecode, &logo, nullptr); }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    written = true;
    card.join();
    writer.join();
    std::fclose(out);
    if (realtime) return printLatency(args["--out"], m, handedOver, leftAt);
    std::printf("frames=%d seconds=%.3f\nfps=%.2f\n", frames, seconds, frames / seconds);
    return 0;
}
