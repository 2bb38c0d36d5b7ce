#include "StreamProbe.h"

#include "encode/FFmpegOwners.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <map>

namespace {

// Complaints of the probing thread only: an encoder logging on another thread says nothing of the stream.
thread_local ProbedStream* gProbe = nullptr;

void collectComplaints(void* avcl, int level, const char* format, va_list args) {
    if (level > AV_LOG_ERROR) return;
    char line[1024];
    int prefix = 1;
    av_log_format_line(avcl, level, format, args, line, sizeof line, &prefix);
    if (gProbe != nullptr) {
        gProbe->complaints.push_back(line);
        gProbe->complaintFrames.push_back(gProbe->video.frames);
    }
}

av::CodecContext openDecoder(AVStream* stream) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) return nullptr;
    av::CodecContext context(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(context.get(), stream->codecpar);
    context->pkt_timebase = stream->time_base;
    context->thread_count = 1;  // complaints from this thread alone
    if (avcodec_open2(context.get(), codec, nullptr) < 0) return nullptr;
    return context;
}

void decode(AVFormatContext* input, ProbedStream& result, int bandTop, int bandLines) {
    std::map<int, av::CodecContext> decoders;
    int videoIndex = -1, audioIndex = -1;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream* stream = input->streams[i];
        const AVCodecParameters* par = stream->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && videoIndex < 0) {
            videoIndex = int(i);
            result.video.codec = avcodec_get_name(par->codec_id);
            result.video.width = par->width;
            result.video.height = par->height;
            result.video.rateNum = stream->r_frame_rate.num;
            result.video.rateDen = stream->r_frame_rate.den;
            result.video.sarNum = par->sample_aspect_ratio.num;
            result.video.sarDen = par->sample_aspect_ratio.den;
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && audioIndex < 0) {
            audioIndex = int(i);
            result.audio.codec = avcodec_get_name(par->codec_id);
            result.audio.sampleRate = par->sample_rate;
            result.audio.channels = par->ch_layout.nb_channels;
        } else {
            continue;
        }
        decoders[int(i)] = openDecoder(stream);
    }

    av::Packet packet(av_packet_alloc());
    av::Frame frame(av_frame_alloc());
    auto drain = [&](int index) {
        AVCodecContext* decoder = decoders[index].get();
        while (avcodec_receive_frame(decoder, frame.get()) == 0) {
            if (index == videoIndex) {
                if (result.video.frames == 0) result.video.firstPicturePts = frame->best_effort_timestamp;
                ++result.video.frames;
                if (frame->interlaced_frame) ++result.video.interlacedFrames;
                if (frame->top_field_first) ++result.video.topFieldFirstFrames;
                if (bandLines > 0 && bandTop >= 0 && bandTop + bandLines <= frame->height) {
                    std::string band;
                    for (int y = bandTop; y < bandTop + bandLines; ++y)
                        band.append(reinterpret_cast<const char*>(frame->data[0] + y * frame->linesize[0]), size_t(frame->width));
                    result.video.bands.push_back(std::move(band));
                }
            } else if (frame->format == AV_SAMPLE_FMT_S16P) {  // what the MP2 decoder gives
                const auto* l = reinterpret_cast<const int16_t*>(frame->data[0]);
                const auto* r = reinterpret_cast<const int16_t*>(frame->data[1]);
                result.audio.left.insert(result.audio.left.end(), l, l + frame->nb_samples);
                result.audio.right.insert(result.audio.right.end(), r, r + frame->nb_samples);
            }
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(input, packet.get()) >= 0) {
        const int index = packet->stream_index;
        if (decoders.count(index) != 0 && decoders[index]) {
            if (index == videoIndex) result.video.pts.push_back(packet->pts);
            if (avcodec_send_packet(decoders[index].get(), packet.get()) < 0) {
                result.complaints.push_back("send_packet failed");
                result.complaintFrames.push_back(result.video.frames);
            }
            drain(index);
        }
        av_packet_unref(packet.get());
    }
    for (auto& [index, decoder] : decoders) {
        if (!decoder) continue;
        avcodec_send_packet(decoder.get(), nullptr);
        drain(index);
    }
    if (result.video.rateNum > 0) {
        result.video.duration = double(result.video.frames) * result.video.rateDen / result.video.rateNum;
    }
    if (result.audio.sampleRate > 0) result.audio.duration = double(result.audio.left.size()) / result.audio.sampleRate;
}

}  // namespace

ProbedStream probeStream(const std::string& path, int bandTop, int bandLines) {
    ProbedStream result;
    gProbe = &result;
    av_log_set_callback(collectComplaints);
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) == 0) {
        if (avformat_find_stream_info(input, nullptr) >= 0) decode(input, result, bandTop, bandLines);
        avformat_close_input(&input);
    }
    gProbe = nullptr;  // whatever is logged later must not reach a result that is gone
    return result;
}

namespace {

// The PCR of a packet in seconds, or -1 if it carries none.
double pcrSeconds(const uint8_t* p) {
    if (p[0] != 0x47 || !(p[3] & 0x20) || p[4] == 0 || !(p[5] & 0x10)) return -1;
    const uint64_t base = (uint64_t(p[6]) << 25) | (uint64_t(p[7]) << 17) | (uint64_t(p[8]) << 9) |
                          (uint64_t(p[9]) << 1) | (p[10] >> 7);
    return double(base * 300 + ((uint64_t(p[10] & 1) << 8) | p[11])) / 27e6;
}

// Arrival time of every packet between the first and the last PCR, by linear
// interpolation over the packet index; -1 outside.
std::vector<double> arrivalTimes(const std::string& bytes) {
    std::vector<std::pair<size_t, double>> pcrs;
    const size_t count = bytes.size() / 188;
    for (size_t i = 0; i < count; ++i)
        if (const double pcr = pcrSeconds(reinterpret_cast<const uint8_t*>(bytes.data() + i * 188)); pcr >= 0)
            pcrs.emplace_back(i, pcr);
    std::vector<double> times(count, -1);
    for (size_t k = 1; k < pcrs.size(); ++k) {
        const auto [from, t0] = pcrs[k - 1];
        const auto [to, t1] = pcrs[k];
        for (size_t i = from; i <= to; ++i) times[i] = t0 + (t1 - t0) * double(i - from) / double(to - from);
    }
    return times;
}

int64_t timestamp(const uint8_t* b) {
    return (int64_t(b[0] & 0x0E) << 29) | (int64_t(b[1]) << 22) | (int64_t(b[2] & 0xFE) << 14) |
           (int64_t(b[3]) << 7) | (b[4] >> 1);
}

// Each PES of video (stream id E0-EF) and audio (C0-DF): its decoding time
// against the arrival of its last packet.
void checkUnits(const std::string& bytes, TransportCheck& check) {
    const std::vector<double> arrival = arrivalTimes(bytes);
    struct Open { TransportCheck::Units* units = nullptr; double dts = -1; size_t last = 0; };
    std::map<int, Open> open;
    const auto close = [&](const Open& unit) {
        if (unit.units == nullptr || unit.dts < 0 || arrival[unit.last] < 0) return;
        const double margin = unit.dts - arrival[unit.last];
        ++unit.units->count;
        unit.units->minMargin = std::min(unit.units->minMargin, margin);
    };
    for (size_t i = 0; i < arrival.size(); ++i) {
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + i * 188);
        if (p[0] != 0x47 || !(p[3] & 0x10)) continue;
        const int pid = ((p[1] & 0x1F) << 8) | p[2];
        const size_t payload = (p[3] & 0x20) ? 5 + size_t(p[4]) : 4;
        if (p[1] & 0x40) {
            close(open[pid]);
            open[pid] = {};
            const uint8_t* pes = p + payload;
            if (payload + 19 <= 188 && pes[0] == 0 && pes[1] == 0 && pes[2] == 1) {
                const int id = pes[3];
                const int flags = pes[7] >> 6;
                TransportCheck::Units* units = (id & 0xF0) == 0xE0 ? &check.video : (id & 0xE0) == 0xC0 ? &check.audio : nullptr;
                if (units != nullptr && flags >= 2) open[pid] = {units, double(timestamp(pes + (flags == 3 ? 14 : 9))) / 90000, i};
            }
        }
        auto found = open.find(pid);
        if (found != open.end()) found->second.last = i;
    }
    for (const auto& [pid, unit] : open) close(unit);
}

}  // namespace

TransportCheck checkTransport(const std::string& bytes) {
    TransportCheck check;
    checkUnits(bytes, check);
    std::map<int, int> continuity;
    double lastPcr = -1;
    for (size_t at = 0; at + 188 <= bytes.size(); at += 188) {
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + at);
        if (p[0] != 0x47) {
            ++check.syncErrors;
            continue;
        }
        const int pid = ((p[1] & 0x1F) << 8) | p[2];
        const int counter = p[3] & 0x0F;
        const bool discontinuity = (p[3] & 0x20) && p[4] > 0 && (p[5] & 0x80);
        if (const double pcr = pcrSeconds(p); pcr >= 0) {
            if (lastPcr >= 0) check.maxPcrGap = std::max(check.maxPcrGap, pcr - lastPcr);
            lastPcr = pcr;
        }
        if (pid != 0x1FFF && (p[3] & 0x10)) {
            auto previous = continuity.find(pid);
            if (previous != continuity.end() && !discontinuity && counter != ((previous->second + 1) & 0x0F)) {
                ++check.continuityErrors;
            }
            continuity[pid] = counter;
        }
        if (pid == 0 && check.firstPat < 0) check.firstPat = int(at / 188);
    }
    return check;
}

double toneLevel(const std::vector<int16_t>& samples, double hz, int rate) {
    if (samples.empty()) return 0;
    const double coefficient = 2 * std::cos(2 * M_PI * hz / rate);
    double s1 = 0, s2 = 0;
    for (int16_t sample : samples) {
        const double s0 = sample / 32768.0 + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2 * std::sqrt(power) / double(samples.size());  // amplitude of that frequency
}
