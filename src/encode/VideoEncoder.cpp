#include "encode/VideoEncoder.h"

#include "capture/AudioPair.h"
#include "encode/TimeCodeBurner.h"
#include "record/StreamBuffer.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstdio>

namespace {

// The muxer's output, cut at its random-access points on the way to the stream buffer.
int writeBuffer(void* opaque, uint8_t* buf, int size) {
    static_cast<RandomAccessSplitter*>(opaque)->write(buf, size_t(std::max(size, 0)));
    return size;
}

constexpr AVRational kAudioTimeBase{1, VideoEncoder::kAudioSampleRate};

}  // namespace

void appendAudioPair(const audioPackage& package, const std::atomic<int8_t>& pair,
                     std::deque<int16_t>& fifo) {
    const size_t words = size_t(package.sampleFrames) * kCapturedAudioChannels;
    const int16_t* samples = package.buffer.get();
    for (size_t i = 0; i < words; i += kCapturedAudioChannels) {
        const size_t k = i + 2 * size_t(validAudioPair(pair.load(std::memory_order_relaxed)));
        fifo.push_back(samples[k]);
        fifo.push_back(samples[k + 1]);
    }
}

VideoEncoder::VideoEncoder(unsigned int mode, const char* filename, VideoQueue* queue,
                           StreamBuffer* buffer, const std::atomic<bool>* restart,
                           const std::atomic<int8_t>* audio_pair, const std::atomic<bool>* pal_flag,
                           const std::atomic<int32_t>* timecode_mode,
                           const std::atomic<bool>* logo_enabled, TimeCodeBurner* burner)
    : mode_(mode),
      burner_(burner),
      format_((std::fputs("Video Encoder Constructor\n", stderr), encoderModeFor(mode))),
      logo_enabled_(logo_enabled),
      timecode_mode_(timecode_mode),
      pal_flag_(pal_flag),
      audio_pair_(audio_pair),
      restart_(restart),
      queue_(queue),
      buffer_(buffer),
      splitter_([buffer](const uint8_t* data, size_t size, bool randomAccess) {
          buffer->putData(reinterpret_cast<const char*>(data), int(size), randomAccess);
      }) {
    preview_file_.reset(std::fopen("preview.uyvy", "wb"));
    if (!preview_file_) std::fputs("Could not open preview file\n", stderr);
    if (burner_ != nullptr) burner_->setDimensions(format_.width, format_.height);

    openMuxer(filename);
    encodeLoop();

    std::fputs("restarting\n", stderr);
    drainAudio();
    encodeVideo(nullptr);  // frames x264 may still hold
    av::check(av_write_trailer(oc_.get()), "Error writing trailer\n");
    splitter_.flush();
    tearDown();
}

VideoEncoder::~VideoEncoder() = default;

void VideoEncoder::reloadPNG() {
    if (burner_ != nullptr) burner_->loadPNG();
}

void VideoEncoder::openMuxer(const char* filename) {
    uint8_t* ioBuffer = static_cast<uint8_t*>(av_malloc(kIOBufferSize));
    io_.reset(ioBuffer != nullptr ? avio_alloc_context(ioBuffer, kIOBufferSize, 1, &splitter_, nullptr,
                                                        writeBuffer, nullptr)
                                  : nullptr);
    if (!io_) {
        av_free(ioBuffer);
        av::fail("Error allocating avioContext\n");
    }

    AVFormatContext* context = nullptr;
    if (avformat_alloc_output_context2(&context, nullptr, "mpegts", nullptr) < 0 || !context) {
        std::fputs("Could not deduce output format from file extension: using MPEG.\n", stderr);
        av::fail("Kunde inte skapa avformat_alloc_output_context");
    }
    oc_.reset(context);
    if (avcodec_find_encoder_by_name("libx264") == nullptr) av::fail("no codec\n");
    oc_->pb = io_.get();
    oc_->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Decoding times 0.7 s after the PCR of their first byte, as the ffmpeg
    // command line muxes by default: a decoder following the buffer model
    // then has every frame whole before it decodes it. The bytes themselves
    // go out as soon as they are muxed.
    oc_->max_delay = 700000;

    add_video_stream();
    add_audio_stream();
    av_dump_format(oc_.get(), 0, filename, 1);
    open_video();
    open_audio();

    // A PCR with every frame: playout monitors flag gaps over 40 ms.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "pcr_period", "20", 0);
    const int written = avformat_write_header(oc_.get(), &options);
    av_dict_free(&options);
    av::check(written, "Could not write header\n");
    packet_.reset(av::check(av_packet_alloc(), "Could not allocate packet\n"));
}

void VideoEncoder::add_video_stream() {
    video_st_ = av::check(avformat_new_stream(oc_.get(), nullptr), "Could not alloc stream\n");
    video_ctx_.reset(av::check(avcodec_alloc_context3(nullptr), "Could not alloc stream\n"));
    AVCodecContext* c = video_ctx_.get();
    c->codec_type = AVMEDIA_TYPE_VIDEO;
    c->codec_id = AV_CODEC_ID_H264;
    c->bit_rate = 8000000;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->width = format_.width;
    c->height = format_.height;
    c->time_base = AVRational{format_.fpsDen, format_.fpsNum};
    c->framerate = AVRational{format_.fpsNum, format_.fpsDen};
    c->field_order = format_.progressive ? AV_FIELD_PROGRESSIVE
                     : pal_flag_->load(std::memory_order_relaxed) ? AV_FIELD_TT
                                                                    : AV_FIELD_BB;
    if (format_.width == 720) c->sample_aspect_ratio = format_.height == 576 ? AVRational{64, 45} : AVRational{32, 27};
    video_st_->time_base = c->time_base;
    video_st_->avg_frame_rate = c->framerate;
    video_st_->sample_aspect_ratio = c->sample_aspect_ratio;
    av::check(avcodec_parameters_from_context(video_st_->codecpar, c), "Could not alloc stream\n");
}

void VideoEncoder::add_audio_stream() {
    audio_st_ = av::check(avformat_new_stream(oc_.get(), nullptr), "Could not alloc stream\n");
    const AVCodec* codec = avcodec_find_encoder(oc_->oformat->audio_codec);
    if (codec == nullptr) av::fail("codec not found\n");
    audio_ctx_.reset(av::check(avcodec_alloc_context3(codec), "Could not alloc stream\n"));
    AVCodecContext* c = audio_ctx_.get();
    c->bit_rate = kAudioBitrate;
    c->sample_rate = kAudioSampleRate;
    av_channel_layout_default(&c->ch_layout, 2);
    c->sample_fmt = AV_SAMPLE_FMT_S16;
    c->time_base = kAudioTimeBase;
    audio_st_->time_base = kAudioTimeBase;
    av::check(avcodec_parameters_from_context(audio_st_->codecpar, c), "Could not alloc stream\n");
}

void VideoEncoder::open_video() {
    yuv_picture_.reset(av::check(av_frame_alloc(), "Could not allocate picture\n"));
    yuv_picture_->format = AV_PIX_FMT_YUV420P;
    yuv_picture_->width = format_.width;
    yuv_picture_->height = format_.height;
    av::check(av_frame_get_buffer(yuv_picture_.get(), 32), "Could not allocate picture\n");

    x264_param_t param;
    av::check(x264_param_default_preset(&param, "veryfast", "zerolatency"), "could not open codec\n");
    param.i_log_level = X264_LOG_WARNING;
    param.i_threads = 4;
    param.i_width = format_.width;
    param.i_height = format_.height;
    if (format_.width == 720) {
        param.vui.i_sar_width = format_.height == 576 ? 64 : 32;
        param.vui.i_sar_height = format_.height == 576 ? 45 : 27;
    }
    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = format_.videoBitrate;
    param.rc.i_vbv_max_bitrate = format_.videoBitrate;
    param.rc.i_vbv_buffer_size = format_.videoBitrate;
    param.rc.f_qcompress = 0.0f;
    param.i_keyint_max = format_.fpsNum / format_.fpsDen;
    param.i_fps_num = uint32_t(format_.fpsNum);
    param.i_fps_den = uint32_t(format_.fpsDen);
    // Constant frame rate: timestamps count frames.
    param.b_vfr_input = 0;
    param.i_timebase_num = uint32_t(format_.fpsDen);
    param.i_timebase_den = uint32_t(format_.fpsNum);
    if (!format_.progressive) {
        param.b_interlaced = 1;
        param.b_tff = pal_flag_->load(std::memory_order_relaxed) ? 1 : 0;
        // x264 has no weighted prediction for interlaced coding and would
        // say so at every pass.
        param.analyse.i_weighted_pred = X264_WEIGHTP_NONE;
    }
    param.b_repeat_headers = 1;
    param.b_annexb = 1;
    av::check(x264_param_apply_profile(&param, "high"), "could not open codec\n");
    x264_encoder_.reset(av::check(x264_encoder_open(&param), "could not open codec\n"));
}

void VideoEncoder::open_audio() {
    av::check(avcodec_open2(audio_ctx_.get(), audio_ctx_->codec, nullptr), "could not open codec\n");
    av::check(avcodec_parameters_from_context(audio_st_->codecpar, audio_ctx_.get()),
              "could not open codec\n");
    samples_.reset(av::check(av_frame_alloc(), "Could not allocate picture\n"));
    samples_->format = audio_ctx_->sample_fmt;
    samples_->nb_samples = audio_ctx_->frame_size > 1 ? audio_ctx_->frame_size : 1152;
    av::check(av_channel_layout_copy(&samples_->ch_layout, &audio_ctx_->ch_layout),
              "could not open codec\n");
    av::check(av_frame_get_buffer(samples_.get(), 0), "could not open codec\n");
}

void VideoEncoder::encodeLoop() {
    const auto restarting = [this] { return restart_->load(std::memory_order_relaxed); };
    while (!restarting()) {
        // Stream times in seconds, from what reached the muxer. Audio is
        // written while it lags the video; ties go to the video.
        const double video_pts = double(video_frames_out_) * format_.fpsDen / format_.fpsNum;
        const double audio_pts = double(audio_samples_out_) / kAudioSampleRate;
        if (video_pts > audio_pts) {
            write_audio_frame();
        } else {
            write_video_frame();
            ++frame_count_;
        }
    }
}

void VideoEncoder::write_video_frame() {
    const int fieldHeight = format_.progressive ? format_.height : format_.height / 2;
    if (!sws_ctx_) {
        std::fprintf(stderr, "%d, %d, %d, %d\n", format_.width, format_.height, format_.width,
                     format_.height);
        sws_ctx_.reset(sws_getContext(format_.width, fieldHeight, AV_PIX_FMT_UYVY422, format_.width,
                                      fieldHeight, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                      nullptr, nullptr));
        if (!sws_ctx_) av::fail("Cannot initialize the conversion context\n");
    }

    VideoPackagePtr package = queue_->getVideoFrame(restart_);
    if (!package) return;
    const size_t pictureBytes = size_t(format_.width) * size_t(format_.height) * 2;
    // A frame of another size would be read past its end; it cannot occur
    // while the card is enabled in this pass's mode.
    if (package->size < pictureBytes) return;

    const int32_t timecodeMode = timecode_mode_->load(std::memory_order_relaxed);
    if (timecodeMode != 0 && burner_ != nullptr) burner_->BurnTimeCodeToFrame(mode_, package.get(), timecodeMode);
    if (logo_enabled_->load(std::memory_order_relaxed) && burner_ != nullptr) burner_->BurnLogo(mode_, package.get());

    if (frame_count_ % (format_.fpsNum / format_.fpsDen) == 0 && preview_file_) {
        std::rewind(preview_file_.get());
        std::fwrite(package->buffer.get(), 1, pictureBytes, preview_file_.get());
        std::fflush(preview_file_.get());
        frame_count_ = 0;
    }

    // Interlaced: each field is converted on its own (doubled strides, the
    // second field one line on), so chroma is never mixed across fields.
    const int fields = format_.progressive ? 1 : 2;
    for (int field = 0; field < fields; ++field) {
        const uint8_t* source[4] = {package->buffer.get() + field * format_.width * 2, nullptr,
                                    nullptr, nullptr};
        const int sourceStride[4] = {format_.width * 2 * fields, 0, 0, 0};
        uint8_t* target[4] = {};
        int targetStride[4] = {};
        for (int plane = 0; plane < 3; ++plane) {
            target[plane] = yuv_picture_->data[plane] + field * yuv_picture_->linesize[plane];
            targetStride[plane] = yuv_picture_->linesize[plane] * fields;
        }
        sws_scale(sws_ctx_.get(), source, sourceStride, 0, fieldHeight, target, targetStride);
    }

    x264_picture_t input;
    x264_picture_init(&input);
    input.img.i_csp = X264_CSP_I420;
    input.img.i_plane = 3;
    for (int plane = 0; plane < 3; ++plane) {
        input.img.plane[plane] = yuv_picture_->data[plane];
        input.img.i_stride[plane] = yuv_picture_->linesize[plane];
    }
    input.i_pts = video_frames_in_++;
    encodeVideo(&input);
}

// Encodes one picture (or, with null, one held back) and writes what comes out.
void VideoEncoder::encodeVideo(x264_picture_t* input) {
    do {
        if (input == nullptr && x264_encoder_delayed_frames(x264_encoder_.get()) <= 0) return;
        x264_nal_t* nals = nullptr;
        int nalCount = 0;
        x264_picture_t output;
        const int size = x264_encoder_encode(x264_encoder_.get(), &nals, &nalCount, input, &output);
        if (size < 0) av::fail("Error while writing video frame\n");
        if (size == 0) continue;
        // The NAL units of one picture lie back to back from the first.
        AVPacket* packet = packet_.get();
        packet->data = nals[0].p_payload;
        packet->size = size;
        packet->stream_index = video_st_->index;
        packet->pts = av_rescale_q(output.i_pts, video_ctx_->time_base, video_st_->time_base);
        packet->dts = av_rescale_q(output.i_dts, video_ctx_->time_base, video_st_->time_base);
        if (output.b_keyframe) packet->flags |= AV_PKT_FLAG_KEY;
        writePacket(packet, "Error while writing video frame\n");
        ++video_frames_out_;
    } while (input == nullptr);
}

bool VideoEncoder::get_audio_frame() {
    const size_t needed = size_t(samples_->nb_samples) * 2;
    while (audio_fifo_.size() < needed) {
        AudioPackagePtr package = queue_->getAudioFrame(restart_);
        if (!package) return false;
        appendAudioPair(*package, *audio_pair_, audio_fifo_);
    }
    av::check(av_frame_make_writable(samples_.get()), "Error while writing audio frame\n");
    auto* out = reinterpret_cast<int16_t*>(samples_->data[0]);
    std::copy_n(audio_fifo_.begin(), needed, out);
    audio_fifo_.erase(audio_fifo_.begin(), audio_fifo_.begin() + std::ptrdiff_t(needed));
    return true;
}

void VideoEncoder::write_audio_frame() {
    if (!get_audio_frame()) return;
    samples_->pts = audio_samples_in_;
    audio_samples_in_ += samples_->nb_samples;
    av::check(avcodec_send_frame(audio_ctx_.get(), samples_.get()), "Error while writing audio frame\n");
    drainAudio();
}

// Writes every packet the audio encoder has ready.
void VideoEncoder::drainAudio() {
    AVPacket* packet = packet_.get();
    while (avcodec_receive_packet(audio_ctx_.get(), packet) == 0) {
        audio_samples_out_ += packet->duration > 0 ? packet->duration : samples_->nb_samples;
        av_packet_rescale_ts(packet, audio_ctx_->time_base, audio_st_->time_base);
        packet->stream_index = audio_st_->index;
        packet->flags |= AV_PKT_FLAG_KEY;
        writePacket(packet, "Error while writing audio frame\n");
    }
}

void VideoEncoder::writePacket(AVPacket* packet, const char* failure) {
    const int result = av_interleaved_write_frame(oc_.get(), packet);
    av_packet_unref(packet);
    if (result != 0) av::fail(failure);
}

void VideoEncoder::tearDown() {
    packet_.reset();
    samples_.reset();
    yuv_picture_.reset();
    sws_ctx_.reset();
    x264_encoder_.reset();
    audio_ctx_.reset();
    video_ctx_.reset();
    video_st_ = nullptr;
    audio_st_ = nullptr;
    oc_.reset();  // frees the streams with it
    io_.reset();
    audio_fifo_ = {};
}
