// Cuts the muxer's output so that a stream block begins wherever a player can
// start: at the PAT that the muxer writes, with the PMT, right before every
// video keyframe. Blocks that begin there are marked as random-access points,
// all others are not; a recording file only ever begins at a marked one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class RandomAccessSplitter {
public:
    using Sink = std::function<void(const uint8_t* data, size_t size, bool randomAccess)>;
    explicit RandomAccessSplitter(Sink sink) : sink_(std::move(sink)) {}

    // Transport packets of 188 bytes as the muxer writes them. A PAT with no
    // audio or video after it yet is held back until the next write tells
    // whether a keyframe follows.
    void write(const uint8_t* data, size_t size);
    // Hands on what is held back (the end of a pass).
    void flush();

private:
    void pass(const uint8_t* data, size_t size, bool randomAccess);

    Sink sink_;
    std::vector<uint8_t> held_;
    int pmtPid_ = -1;    // from the PAT
    int videoPid_ = -1;  // the H.264 stream, from the PMT
};
