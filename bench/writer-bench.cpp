// writer-bench [seconds per run, default 2.5]
//
// Pushes 9400-byte stream blocks through the stream buffer and the writer to
// 1, 2 and 4 drive folders in a temporary folder (under $TMPDIR or /tmp) as
// fast as they are written, and prints for each number of drives the stream's
// blocks per second, MB/s and how many times an HD recording's byte rate
// (about 1 MB/s) that is. Every run checks that each drive got every byte.
#include "core/FilePrefix.h"
#include "platform/CommandRunner.h"
#include "record/StreamBuffer.h"
#include "record/TSWriter.h"
#include "record/USBListener.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr int kBlockSize = 9400;  // 50 transport packets, as the muxer hands them over
constexpr size_t kMaxQueued = 64; // keeps the buffer from growing without bound meanwhile
constexpr double kHdBytesPerSecond = 1e6;

uintmax_t bytesIn(const fs::path& folder) {
    uintmax_t total = 0;
    for (const auto& entry : fs::directory_iterator(folder)) total += entry.file_size();
    return total;
}

// One run; false when a drive did not get every byte.
bool run(const fs::path& root, int targets, double seconds) {
    const fs::path runDir = root / ("targets-" + std::to_string(targets));
    fs::create_directories(runDir / "media");
    StreamBuffer buffer;
    FilePrefix prefix("bench");
    TSWriter writer(&buffer, &prefix);
    USBListener listener(&writer, USBListener::Options{
                                      .mediaPath = (runDir / "media").string() + "/",
                                      .runner = std::make_shared<qva::CommandRunner>("/nonexistent-root"),
                                      .watch = false});
    writer.StartWriter();
    for (int i = 0; i < targets; ++i) {
        const fs::path drive = runDir / ("usb" + std::to_string(i));
        fs::create_directories(drive);
        if (writer.AddOutput(drive.string(), i) != i) return false;
    }
    // The writer's wait for the first block began before the drives were added.
    buffer.putData("", 0);
    while (buffer.queued() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::string block(kBlockSize, '\0');
    for (int i = 0; i < kBlockSize; i += 188) block[size_t(i)] = 0x47;
    const auto start = std::chrono::steady_clock::now();
    const auto stopFeeding = start + std::chrono::duration<double>(seconds);
    long blocks = 0;
    while (std::chrono::steady_clock::now() < stopFeeding) {
        if (buffer.queued() >= kMaxQueued) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            continue;
        }
        buffer.putData(block.data(), kBlockSize);
        ++blocks;
    }
    const uintmax_t expected = uintmax_t(blocks) * kBlockSize;
    const auto landed = [&] {
        for (int i = 0; i < targets; ++i) {
            if (bytesIn(runDir / ("usb" + std::to_string(i))) < expected) return false;
        }
        return true;
    };
    while (!landed() && writer.outputCount() == size_t(targets)) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    bool complete = writer.outputCount() == size_t(targets);
    for (int i = 0; i < targets; ++i) {
        complete = complete && bytesIn(runDir / ("usb" + std::to_string(i))) == expected;
    }
    const double bytesPerSecond = double(expected) / elapsed;
    std::printf("targets=%d packets/s=%.0f MB/s=%.1f x_realtime_hd=%.1f total_MB/s=%.1f landed=%s\n",
                targets, double(blocks) / elapsed, bytesPerSecond / 1e6,
                bytesPerSecond / kHdBytesPerSecond, bytesPerSecond * targets / 1e6,
                complete ? "all" : "INCOMPLETE");
    std::fflush(stdout);
    return complete;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.5;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/writer-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("writer-bench: temporary folder");
        return 1;
    }
    const fs::path root(pattern);
    bool ok = true;
    for (int targets : {1, 2, 4}) {
        try {
            ok = run(root, targets, seconds) && ok;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "writer-bench: %s\n", error.what());
            ok = false;
        }
        std::error_code ignored;
        fs::remove_all(root / ("targets-" + std::to_string(targets)), ignored);
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return ok ? 0 : 1;
}
