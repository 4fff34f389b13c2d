#include <QCoreApplication>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "pipeline/video_image.h"

namespace vistrel {
namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 96;
constexpr std::int32_t kFrameLength = kWidth * kHeight * 3;
// Rows the diagnostic text and the frame header may touch.
constexpr int kSkippedRows = 48;

std::uint8_t ValueOf(std::uint32_t sequence) {
    return static_cast<std::uint8_t>(sequence % 251 + 1);
}

// A capture thread at full speed with changing lengths against a GUI thread
// that converts every frame it is given and checks it stays whole and
// unchanged while it holds it. Frames: 4 bytes length, 4 bytes sequence
// number, then one byte value throughout. Frames of the right length are
// top-down RGB; the others draw the diagnostic over the top rows only.
TEST(SlotStress, CaptureThreadNeverTouchesTheFrameTheGuiThreadReads) {
    std::atomic<int> posted{0};
    std::atomic<int> handled{0};
    std::atomic<bool> stop{false};
    // Keeps the event queue short through the session's own stale-GUI rule:
    // once many events are pending the clock jumps far past the last idle
    // time, until the GUI thread has nearly caught up. Then the capture thread
    // writes a burst of samples while the GUI thread holds a frame.
    bool stalled = false;  // capture thread only
    TVideoImage session(TVideoImage::Options{.clock =
                                                 [&] {
                                                     const int pending =
                                                         posted.load() - handled.load();
                                                     stalled =
                                                         pending > 64 || (stalled && pending > 4);
                                                     return stalled ? 100000u : 0u;
                                                 },
                                             .installIdleHook = false});
    session.SetFormat(kWidth, kHeight, fourcc::kRGB, true);

    int tornFrames = 0;
    int changedFrames = 0;
    int tornPictures = 0;
    std::set<std::uint32_t> sequences;
    session.OnNewVideoFrame = [&](TVideoImage& sender, std::int32_t, std::int32_t,
                                  const std::uint8_t* data) {
        handled.fetch_add(1);
        std::uint32_t length = 0;
        std::uint32_t sequence = 0;
        std::memcpy(&length, data, 4);
        std::memcpy(&sequence, data + 4, 4);
        const std::uint8_t value = ValueOf(sequence);
        const auto whole = [&] {
            for (std::uint32_t i = 8; i < length; ++i) {
                if (data[i] != value) {
                    return false;
                }
            }
            return true;
        };
        if (!whole()) {
            ++tornFrames;
            return;
        }
        if (!sequences.insert(sequence).second) {
            return;  // seen already: another queued event for the same newest frame
        }

        QImage picture;
        sender.CopyFrameTo(picture);
        const std::uint8_t shown = picture.constScanLine(kSkippedRows)[0];
        for (int y = kSkippedRows; y < kHeight; ++y) {
            const std::uint8_t* row = picture.constScanLine(y);
            for (int x = 0; x < kWidth * 3; ++x) {
                if (row[x] != shown) {
                    ++tornPictures;
                    y = kHeight;
                    break;
                }
            }
        }
        // A slow consumer, as a JPEG encode would be: the capture thread
        // delivers many samples meanwhile.
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
        while (std::chrono::steady_clock::now() < until) {
        }
        if (!whole()) {
            ++changedFrames;
        }
    };

    std::thread capture([&] {
        const std::int32_t lengths[] = {
            kFrameLength,     kFrameLength + 5, kFrameLength, kFrameLength - 7,
            2 * kFrameLength, kFrameLength,     100,          kFrameLength};
        std::vector<std::uint8_t> frame(2 * kFrameLength);
        std::uint32_t sequence = 0;
        while (!stop.load()) {
            ++sequence;
            const std::int32_t length = lengths[sequence % std::size(lengths)];
            std::memcpy(frame.data(), &length, 4);
            std::memcpy(frame.data() + 4, &sequence, 4);
            std::memset(frame.data() + 8, ValueOf(sequence), static_cast<std::size_t>(length) - 8);
            if (session.ReceiveSample(frame.data(), length)) {
                posted.fetch_add(1);
            }
        }
    });

    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::sendPostedEvents();
        std::this_thread::yield();
    }
    stop = true;
    capture.join();
    QCoreApplication::sendPostedEvents();

    EXPECT_EQ(tornFrames, 0);
    EXPECT_EQ(changedFrames, 0);
    EXPECT_EQ(tornPictures, 0);
    EXPECT_GT(handled.load(), 20);
    EXPECT_GT(sequences.size(), 10u) << "the frames shown must move on";
}

}  // namespace
}  // namespace vistrel
