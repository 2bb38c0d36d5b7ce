// writer-bench [seconds per run, default 2.5]
//
// Pushes 9400-byte stream blocks through the stream buffer and the writer to
// 1, 2 and 4 drive folders in a temporary folder (under $TMPDIR or /tmp) as
// fast as they are written, and prints for each number of drives the stream's
// blocks per second, MB/s and how many times an HD recording's byte rate
// (about 1 MB/s) that is. Every run checks that each drive got every byte.
//
// Then 4 drives of which one is stalled (an ext4 image on a loop device,
// frozen; needs root): the other three must keep their full rate, the stalled
// one is dropped at its bound, and the writer's backlog and the process's
// memory stay within it.
#include "core/FilePrefix.h"
#include "platform/CommandRunner.h"
#include "record/StreamBuffer.h"
#include "record/TSWriter.h"
#include "record/USBListener.h"

#include "LoopDrive.h"  // the tests' frozen-drive helper

#include <stdlib.h>
#include <sys/resource.h>
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
constexpr size_t kMaxBacklog = size_t(4) << 20;  // per healthy drive, likewise
constexpr double kHdBytesPerSecond = 1e6;

uintmax_t bytesIn(const fs::path& folder) {
    uintmax_t total = 0;
    for (const auto& entry : fs::directory_iterator(folder)) total += entry.file_size();
    return total;
}

// One run; false when a drive that keeps up did not get every byte, or the
// stalled one broke the writer's bound.
bool run(const fs::path& root, int targets, double seconds, bool oneStalled) {
    const fs::path runDir = root / ("targets-" + std::to_string(targets) + (oneStalled ? "-stalled" : ""));
    fs::create_directories(runDir / "media");
    std::unique_ptr<testing_support::LoopDrive> stalled;
    if (oneStalled) {
        stalled = std::make_unique<testing_support::LoopDrive>(runDir / "usb0.img", runDir / "usb0", 1024);
        if (!stalled->mounted()) {
            std::printf("targets=%d stalled=1 skipped: a frozen loop drive needs root\n", targets);
            return true;
        }
    }
    StreamBuffer buffer;
    FilePrefix prefix("bench");
    const TSWriter::Limits limits;
    TSWriter writer(&buffer, &prefix, limits);
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
    const int firstHealthy = oneStalled ? 1 : 0;
    const size_t keeping = size_t(targets - firstHealthy);
    if (stalled) {
        while (!fs::exists(stalled->path() / "bench.ts")) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stalled->freeze();
    }

    std::string block(kBlockSize, '\0');
    for (int i = 0; i < kBlockSize; i += 188) block[size_t(i)] = 0x47;
    const auto backlog = [&] {
        size_t most = 0;
        for (int i = firstHealthy; i < targets; ++i) most = std::max(most, writer.queuedBytes(i));
        return most;
    };
    const auto start = std::chrono::steady_clock::now();
    const auto stopFeeding = start + std::chrono::duration<double>(seconds);
    const auto giveUp = start + std::chrono::duration<double>(10 * seconds);
    long blocks = 0;
    size_t peakQueued = 0;
    // With a stalled drive, until it is dropped: past its bound.
    const auto feeding = [&](std::chrono::steady_clock::time_point now) {
        return now < stopFeeding || (oneStalled && writer.outputCount() > keeping && now < giveUp);
    };
    while (feeding(std::chrono::steady_clock::now())) {
        if (buffer.queued() >= kMaxQueued || backlog() >= kMaxBacklog) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            continue;
        }
        buffer.putData(block.data(), kBlockSize);
        ++blocks;
        if (blocks % 64 == 0) peakQueued = std::max(peakQueued, writer.queuedBytes());
    }
    const uintmax_t expected = uintmax_t(blocks) * kBlockSize;
    const auto landed = [&] {
        for (int i = firstHealthy; i < targets; ++i) {
            if (bytesIn(runDir / ("usb" + std::to_string(i))) < expected) return false;
        }
        return true;
    };
    while (!landed() && writer.outputCount() >= keeping) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    bool complete = writer.outputCount() == keeping;
    for (int i = firstHealthy; i < targets; ++i) {
        complete = complete && bytesIn(runDir / ("usb" + std::to_string(i))) == expected;
    }
    const double bytesPerSecond = double(expected) / elapsed;
    std::printf("targets=%d%s packets/s=%.0f MB/s=%.1f x_realtime_hd=%.1f total_MB/s=%.1f landed=%s",
                targets, oneStalled ? " stalled=1" : "", double(blocks) / elapsed, bytesPerSecond / 1e6,
                bytesPerSecond / kHdBytesPerSecond, bytesPerSecond * double(keeping) / 1e6,
                complete ? "all" : "INCOMPLETE");
    if (oneStalled) {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        // The stalled drive's ceiling, and what the others may hold meanwhile.
        const size_t bound = limits.queueCeiling + kBlockSize + keeping * kMaxBacklog;
        std::printf(" stalled_dropped=%s peak_queued_MB=%.1f bound_MB=%.1f max_rss_MB=%.1f",
                    writer.outputCount() == keeping ? "yes" : "NO", double(peakQueued) / 1e6, double(bound) / 1e6,
                    double(usage.ru_maxrss) / 1e3);
        complete = complete && peakQueued <= bound;
        stalled->thaw();
    }
    std::printf("\n");
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
    for (auto [targets, oneStalled] : {std::pair{1, false}, {2, false}, {4, false}, {4, true}}) {
        try {
            ok = run(root, targets, seconds, oneStalled) && ok;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "writer-bench: %s\n", error.what());
            ok = false;
        }
        std::error_code ignored;
        fs::remove_all(root / ("targets-" + std::to_string(targets) + (oneStalled ? "-stalled" : "")), ignored);
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return ok ? 0 : 1;
}
