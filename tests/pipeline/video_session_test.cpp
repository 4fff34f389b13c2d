// SPDX-License-Identifier: MIT
#include <QCoreApplication>
#include <QEventLoop>
#include <QPainter>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>

#include "base/error_handler.h"
#include "imaging/jpeg_image.h"
#include "pipeline/video_image.h"
#include "pipeline_test_util.h"

namespace vistrel {
namespace {

using test::Bgr;
using test::Bytes;
using test::PixelAt;

// A session on a clock the test sets.
class VideoSession : public testing::Test {
protected:
    VideoSession()
        : session_(TVideoImage::Options{.clock = [this] { return now_.load(); },
                                        .installIdleHook = false}) {
        session_.RecordIdleTime();
    }

    bool Receive(const Bytes& frame) {
        return session_.ReceiveSample(frame.data(), static_cast<std::int32_t>(frame.size()));
    }
    static void DeliverEvents() { QCoreApplication::sendPostedEvents(); }

    std::atomic<std::uint32_t> now_{5000};
    TVideoImage session_;
};

TEST_F(VideoSession, StaleGuiRuleDropsSamplesMoreThanASecondFromIdle) {
    int handled = 0;
    session_.OnNewVideoFrame = [&](TVideoImage&, std::int32_t, std::int32_t, const std::uint8_t*) {
        ++handled;
    };
    const Bytes frame(8, 1);
    struct Case {
        std::uint32_t idle;
        std::uint32_t now;
        bool accepted;
    };
    const Case cases[] = {
        {5000, 6000, true},
        {5000, 6001, false},
        {5000, 3999, false},               // -1001
        {5000, 4000, true},                // -1000
        {0xFFFFFF00u, 0x000002E8u, true},  // 1000 ms across the wrap
        {0xFFFFFF00u, 0x000002E9u, false},
    };
    for (const Case& c : cases) {
        now_ = c.idle;
        session_.RecordIdleTime();
        EXPECT_EQ(session_.LastIdleTime(), c.idle);
        now_ = c.now;
        handled = 0;
        EXPECT_EQ(Receive(frame), c.accepted) << c.idle << " -> " << c.now;
        DeliverEvents();
        EXPECT_EQ(handled, c.accepted ? 1 : 0) << "a dropped sample posts nothing";
    }
}

TEST_F(VideoSession, SlotsRotateAndReallocateOnlyOnALengthChange) {
    EXPECT_EQ(session_.CurrentSlot(), 0);
    const Bytes a(100, 1);
    const int expected[] = {1, 2, 0, 1};
    const std::uint8_t* buffers[3] = {};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Receive(a));
        ASSERT_EQ(session_.CurrentSlot(), expected[i]);
        buffers[expected[i]] = session_.SlotData(expected[i]);
    }
    ASSERT_TRUE(Receive(a));
    EXPECT_EQ(session_.CurrentSlot(), 1);
    for (int slot = 0; slot < 3; ++slot) {
        EXPECT_EQ(session_.SlotData(slot), buffers[slot]) << "same length keeps the buffer";
        EXPECT_EQ(session_.SlotSize(slot), 100);
    }
    ASSERT_TRUE(Receive(Bytes(60, 2)));  // into slot 2 only
    EXPECT_EQ(session_.SlotSize(2), 60);
    EXPECT_EQ(session_.SlotSize(0), 100);
    EXPECT_EQ(session_.SlotData(0), buffers[0]);
    EXPECT_EQ(session_.SlotData(1), buffers[1]);
    EXPECT_EQ(session_.SlotData(2)[59], 2);
    DeliverEvents();
}

TEST_F(VideoSession, BadSamplesAreDropped) {
    EXPECT_FALSE(session_.ReceiveSample(nullptr, 10));
    EXPECT_FALSE(session_.ReceiveSample(Bytes(4).data(), -1));
    EXPECT_EQ(session_.CurrentSlot(), 0);
}

// An MJPG frame whose header gives another size than the format is dropped
// before it takes a slot: never announced, so never shown or logged.
TEST_F(VideoSession, BadMjpgFrameIsDroppedAndCounted) {
    int handled = 0;
    session_.OnNewVideoFrame = [&](TVideoImage&, std::int32_t, std::int32_t, const std::uint8_t*) {
        ++handled;
    };
    session_.SetFormat(16, 8, fourcc::kMJPG);
    const auto encode = [](int width, int height) {
        TJPEGImage encoder;
        encoder.SetImage(test::Filled(width, height, {10, 200, 30}));
        QTemporaryDir dir;
        encoder.SaveFile(dir.filePath("f.jpg"));
        return *encoder.CompressedData();
    };
    EXPECT_FALSE(Receive(encode(32, 8)));
    EXPECT_FALSE(Receive(encode(16, 16)));
    EXPECT_EQ(session_.Samples().bad, 2u);
    EXPECT_EQ(session_.CurrentSlot(), 0);
    DeliverEvents();
    EXPECT_EQ(handled, 0);

    // A frame of the format's size passes, and so does one whose header
    // cannot be read (the conversion shows its diagnostic).
    EXPECT_TRUE(Receive(encode(16, 8)));
    EXPECT_TRUE(Receive(Bytes(100, 0x55)));
    DeliverEvents();
    EXPECT_EQ(handled, 2);
    EXPECT_EQ(session_.Samples().bad, 2u);
}

// The mend of the slot race: while the GUI thread holds a frame, however
// many samples arrive, that frame is neither rewritten nor freed.
TEST_F(VideoSession, FrameStaysWholeWhileTheHandlerHoldsIt) {
    int checked = 0;
    session_.OnNewVideoFrame = [&](TVideoImage& sender, std::int32_t, std::int32_t,
                                   const std::uint8_t* data) {
        if (checked++ > 0) {
            return;  // the events of the samples sent below
        }
        ASSERT_EQ(&sender, &session_);
        const std::uint8_t value = data[0];
        for (int i = 0; i < 10; ++i) {
            // Changing lengths reallocate whichever slots the writer takes.
            ASSERT_TRUE(Receive(Bytes(64 + 16 * i, static_cast<std::uint8_t>(200 + i))));
        }
        for (int i = 0; i < 64; ++i) {
            ASSERT_EQ(data[i], value);
        }
        EXPECT_EQ(value, 7);
    };
    ASSERT_TRUE(Receive(Bytes(64, 7)));
    DeliverEvents();
    DeliverEvents();  // the events posted while the first was handled
    EXPECT_EQ(checked, 11);
}

TEST_F(VideoSession, EventCarriesFormatAndNewestFrame) {
    session_.SetFormat(4, 2, fourcc::kYUY2);
    std::vector<std::uint8_t> seen;
    session_.OnNewVideoFrame = [&](TVideoImage& sender, std::int32_t w, std::int32_t h,
                                   const std::uint8_t* data) {
        EXPECT_EQ(&sender, &session_);
        EXPECT_EQ(w, 4);
        EXPECT_EQ(h, 2);
        EXPECT_TRUE(sender.Busy());
        seen.push_back(data[0]);
    };
    ASSERT_TRUE(Receive(Bytes(16, 1)));
    ASSERT_TRUE(Receive(Bytes(16, 2)));
    DeliverEvents();
    // Two queued events, both showing the newest frame.
    EXPECT_EQ(seen, (std::vector<std::uint8_t>{2, 2}));
    EXPECT_FALSE(session_.Busy());
}

TEST_F(VideoSession, NestedEventLoopSkipsFrameEvents) {
    int calls = 0;
    session_.OnNewVideoFrame = [&](TVideoImage&, std::int32_t, std::int32_t, const std::uint8_t*) {
        ++calls;
        if (calls == 1) {
            ASSERT_TRUE(Receive(Bytes(4, 9)));
            QCoreApplication::sendPostedEvents();  // the nested loop meets the new event
            EXPECT_EQ(calls, 1);
        }
    };
    ASSERT_TRUE(Receive(Bytes(4, 1)));
    DeliverEvents();
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(Receive(Bytes(4, 2)));
    DeliverEvents();
    EXPECT_EQ(calls, 2) << "the next event is handled normally";
}

TEST_F(VideoSession, HandlerErrorGoesToTheApplicationErrorHandler) {
    QString message;
    const void* source = nullptr;
    bool busyDuringReport = false;
    const ApplicationErrorHandler previous =
        SetApplicationErrorHandler([&](const QString& m, const void* s) {
            message = m;
            source = s;
            busyDuringReport = session_.Busy();
        });
    session_.OnNewVideoFrame = [](TVideoImage&, std::int32_t, std::int32_t, const std::uint8_t*) {
        throw std::runtime_error("Cannot create file \"/x.jpg\". Permission denied");
    };
    ASSERT_TRUE(Receive(Bytes(4, 1)));
    DeliverEvents();
    SetApplicationErrorHandler(previous);

    EXPECT_EQ(message, QStringLiteral("Cannot create file \"/x.jpg\". Permission denied"));
    EXPECT_EQ(source, &session_);
    EXPECT_TRUE(busyDuringReport);
    EXPECT_FALSE(session_.Busy());

    int calls = 0;
    session_.OnNewVideoFrame = [&](TVideoImage&, std::int32_t, std::int32_t, const std::uint8_t*) {
        ++calls;
    };
    ASSERT_TRUE(Receive(Bytes(4, 1)));
    DeliverEvents();
    EXPECT_EQ(calls, 1);
}

TEST_F(VideoSession, WithoutCanvasOnlyCopyFrameToConverts) {
    session_.SetFormat(2, 1, fourcc::kYUY2);
    ASSERT_TRUE(Receive({235, 128, 235, 128}));
    DeliverEvents();
    EXPECT_FALSE(session_.Converted());
    EXPECT_EQ(PixelAt(session_.VideoBitmap(), 0, 0), (Bgr{0, 0, 0}));

    QImage copy;
    session_.CopyFrameTo(copy);
    EXPECT_TRUE(session_.Converted());
    EXPECT_EQ(copy.format(), QImage::Format_BGR888);
    EXPECT_EQ(PixelAt(copy, 1, 0), (Bgr{255, 255, 255}));
    EXPECT_NE(copy.constBits(), session_.VideoBitmap().constBits());
}

TEST_F(VideoSession, CanvasGetsEachFrameUnlessAPainterHoldsIt) {
    session_.SetFormat(2, 1, fourcc::kYUY2);
    QImage canvas = test::Filled(4, 4, {9, 9, 9});
    session_.SetDisplayCanvas(&canvas);
    ASSERT_TRUE(Receive({235, 128, 235, 128}));
    DeliverEvents();
    EXPECT_TRUE(session_.Converted());
    EXPECT_EQ(PixelAt(canvas, 1, 0), (Bgr{255, 255, 255}));
    EXPECT_EQ(PixelAt(canvas, 3, 3), (Bgr{9, 9, 9}));

    {
        QPainter busy(&canvas);  // the canvas is locked: converted, not drawn
        ASSERT_TRUE(Receive({16, 128, 16, 128}));
        DeliverEvents();
        EXPECT_TRUE(session_.Converted());
    }
    EXPECT_EQ(PixelAt(canvas, 1, 0), (Bgr{255, 255, 255}));
    EXPECT_EQ(PixelAt(session_.VideoBitmap(), 1, 0), (Bgr{0, 0, 0}));
    session_.SetDisplayCanvas(nullptr);
}

TEST_F(VideoSession, ConvertsOncePerNewFrameOrHandledEvent) {
    session_.SetFormat(2, 1, fourcc::kYUY2);
    ASSERT_TRUE(Receive({235, 128, 235, 128}));
    QImage copy;
    session_.CopyFrameTo(copy);
    // Mark the picture: a second conversion would overwrite the mark.
    TVideoImageTestAccess::Bitmap(session_).fill(Qt::red);
    session_.CopyFrameTo(copy);
    EXPECT_EQ(PixelAt(copy, 0, 0), (Bgr{0, 0, 255}));

    DeliverEvents();  // the frame event clears Converted
    EXPECT_FALSE(session_.Converted());
    session_.CopyFrameTo(copy);
    EXPECT_EQ(PixelAt(copy, 0, 0), (Bgr{255, 255, 255}));

    ASSERT_TRUE(Receive({16, 128, 16, 128}));  // so does a new sample
    EXPECT_FALSE(session_.Converted());
    session_.CopyFrameTo(copy);
    EXPECT_EQ(PixelAt(copy, 0, 0), (Bgr{0, 0, 0}));
    DeliverEvents();
}

// A sample that arrives while the GUI thread converts the newest frame makes
// that frame old: the end of its conversion must not mark the new one
// converted, or the new frame would never be shown.
TEST_F(VideoSession, ConversionOfAReplacedFrameLeavesConvertedClear) {
    session_.SetFormat(2, 1, fourcc::kYUY2);
    ASSERT_TRUE(Receive({235, 128, 235, 128}));
    const int converting = session_.CurrentSlot();
    ASSERT_TRUE(Receive({16, 128, 16, 128}));  // arrives during the conversion
    TVideoImageTestAccess::MarkConverted(session_, converting);
    EXPECT_FALSE(session_.Converted());

    QImage copy;
    session_.CopyFrameTo(copy);
    EXPECT_TRUE(session_.Converted());
    EXPECT_EQ(PixelAt(copy, 0, 0), (Bgr{0, 0, 0}));
    DeliverEvents();
}

TEST_F(VideoSession, CopyBeforeAnyFrame) {
    QImage copy = test::Filled(3, 3, {1, 1, 1});
    session_.CopyFrameTo(copy);
    EXPECT_TRUE(copy.isNull()) << "no format: the empty picture";

    session_.SetFormat(5, 3, fourcc::kI420);
    session_.CopyFrameTo(copy);
    EXPECT_EQ(copy.size(), QSize(5, 3));
    EXPECT_EQ(PixelAt(copy, 4, 2), (Bgr{0, 0, 0}));
    EXPECT_FALSE(session_.Converted());
}

TEST_F(VideoSession, SetFormatClearsConvertedAndBlanksThePicture) {
    session_.SetFormat(2, 1, fourcc::kYUY2);
    ASSERT_TRUE(Receive({235, 128, 235, 128}));
    QImage copy;
    session_.CopyFrameTo(copy);
    ASSERT_TRUE(session_.Converted());
    // A new format converts the old slot's data under it.
    session_.SetFormat(1, 1, fourcc::kRGB, true);
    EXPECT_FALSE(session_.Converted());
    EXPECT_EQ(session_.Width(), 1);
    EXPECT_EQ(session_.Compression(), fourcc::kRGB);
    EXPECT_TRUE(session_.TopDownRgb());
    session_.CopyFrameTo(copy);
    EXPECT_EQ(copy.size(), QSize(1, 1));
    EXPECT_TRUE(session_.Converted());  // 4 bytes for 1x1 RGB: the diagnostic, clipped
    DeliverEvents();
}

TEST_F(VideoSession, DisposeReleasesEverythingAndDropsQueuedEvents) {
    session_.SetFormat(2, 1, fourcc::kYUY2);
    int calls = 0;
    session_.OnNewVideoFrame = [&](TVideoImage&, std::int32_t, std::int32_t, const std::uint8_t*) {
        ++calls;
    };
    ASSERT_TRUE(Receive({235, 128, 235, 128}));
    session_.Dispose();
    DeliverEvents();
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(session_.VideoBitmap().isNull());
    for (int slot = 0; slot < 3; ++slot) {
        EXPECT_EQ(session_.SlotSize(slot), 0);
        EXPECT_EQ(session_.SlotData(slot), nullptr);
    }
    EXPECT_FALSE(Receive({1, 2, 3, 4}));
    session_.Dispose();  // twice is harmless
}

TEST_F(VideoSession, DisposeFromInsideTheHandlerIsSafe) {
    session_.OnNewVideoFrame = [&](TVideoImage& sender, std::int32_t, std::int32_t,
                                   const std::uint8_t*) {
        ASSERT_TRUE(Receive({5, 6, 7, 8}));  // an event still queued
        sender.Dispose();
    };
    ASSERT_TRUE(Receive({1, 2, 3, 4}));
    DeliverEvents();
    EXPECT_FALSE(session_.Busy());
    EXPECT_EQ(session_.FrameWindow(), nullptr);
    DeliverEvents();  // the queued event meets a detached window
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(VideoSessionIdle, IdleHookStampsTheGuiThreadsIdleTime) {
    std::atomic<std::uint32_t> now{777};
    TVideoImage session(TVideoImage::Options{.clock = [&] { return now.load(); }});
    EXPECT_EQ(session.LastIdleTime(), 0u);
    const auto spin = [] {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();  // waits for the timer, so the dispatcher is about to block
    };
    spin();
    EXPECT_EQ(session.LastIdleTime(), 777u);

    session.Dispose();
    now = 888;
    spin();
    EXPECT_EQ(session.LastIdleTime(), 777u) << "disposed: the hook is gone";
}

}  // namespace
}  // namespace vistrel
