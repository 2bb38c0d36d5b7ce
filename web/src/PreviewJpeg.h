// The recorder's live picture for the browser: preview.uyvy (one raw UYVY
// 4:2:2 picture, no header, rewritten about once a second) as a JPEG.
#pragma once

#include <memory>
#include <optional>
#include <string>

class PreviewJpeg {
public:
    explicit PreviewJpeg(std::string uyvyPath);
    ~PreviewJpeg();
    PreviewJpeg(const PreviewJpeg&) = delete;
    PreviewJpeg& operator=(const PreviewJpeg&) = delete;

    // The latest picture as JPEG bytes, converted again at most once a second
    // however often it is asked for; nothing before the first picture, or
    // when the file's size fits no input mode. Safe from any thread.
    std::optional<std::string> jpeg();

private:
    struct State;  // the cache, its lock and the FFmpeg contexts
    std::unique_ptr<State> state_;
};
