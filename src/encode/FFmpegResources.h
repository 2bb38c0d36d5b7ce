// Owners for the FFmpeg, swscale and x264 resources of an encoder pass, and
// the one check through which every library call's result passes.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}
#include <x264.h>

#include "encode/FFmpegOwners.h"

#include <memory>

namespace av {

struct FormatContextDeleter {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
// The I/O context owns its buffer, which FFmpeg may have replaced.
struct IOContextDeleter {
    void operator()(AVIOContext* context) const {
        av_freep(&context->buffer);
        avio_context_free(&context);
    }
};
struct X264Deleter {
    void operator()(x264_t* encoder) const { x264_encoder_close(encoder); }
};

using FormatContext = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using IOContext = std::unique_ptr<AVIOContext, IOContextDeleter>;
using X264Encoder = std::unique_ptr<x264_t, X264Deleter>;

// A failed set-up or write cannot be recovered within the pass: prints
// message and ends the process with status 1.
[[noreturn]] void fail(const char* message);

// result < 0 (an FFmpeg error) or a null pointer fails with message.
inline void check(int result, const char* message) {
    if (result < 0) fail(message);
}
template <typename T>
T* check(T* pointer, const char* message) {
    if (pointer == nullptr) fail(message);
    return pointer;
}

}  // namespace av
