// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "capture/capture_time.h"
#include "imaging/jpeg_image.h"
#include "storage/frame_writer.h"

namespace vistrel {

// A taken frame on its way to a file.
struct TWriteJob {
    QString stamp;        // the file's name before ".jpg"
    TWriteTicket ticket;  // from TFrameWriter::Admit
    QImage picture;       // shared, never written to: encoded by a worker
    int quality = 0;
    // The camera's own JPEG, written as it came instead of the picture; empty: none.
    std::vector<std::uint8_t> jpeg{};
    TCaptureTime captured{};  // of the frame, told with its file
    // What the job holds in memory.
    std::size_t Bytes() const {
        return static_cast<std::size_t>(picture.sizeInBytes()) + jpeg.size();
    }
};

// What became of a job, back on the owner's thread. error: the encoder
// failed (EVistrelError); the writer's outcome is then empty.
struct TWriteResult {
    TWriteOutcome outcome;
    std::exception_ptr error;
    TCaptureTime captured{};
};

// Writes taken frames on worker threads so that a slow disk never holds up
// the thread that takes them. A bounded number of frames is in hand at once
// (Limits); a full queue refuses the next. Each job is one run of RunJob on a worker
// (encoding, then TFrameWriter::PrepareFile: the temporary file and
// its fdatasync), so pictures are encoded and synced side by side; the
// publishing (TFrameWriter::PublishFile: the final name) is one step at a
// time in the order the jobs came. The results reach Delivered on the thread
// that made the queue, through its event loop, in that same order.
class TWriteQueue {
public:
    // frames: waiting for a worker, besides the one each worker holds.
    // bytes: of all the frames in hand.
    struct Limits {
        int frames = 3;
        std::size_t bytes = std::size_t{256} << 20;
    };
    using Delivered = std::function<void(const TWriteResult& result)>;

    static constexpr int kMaxWorkers = 4;
    // One worker per core, at most kMaxWorkers.
    static int DefaultWorkers();

    TWriteQueue(TFrameWriter& writer, int workers, Delivered delivered, Limits limits);
    // Finishes the jobs in hand first, as Drain does without a bound.
    ~TWriteQueue();
    TWriteQueue(const TWriteQueue&) = delete;
    TWriteQueue& operator=(const TWriteQueue&) = delete;

    // Whether a frame of this many bytes would be taken now.
    bool HasRoom(std::size_t bytes) const;
    // Takes the job unless the queue is full (false then).
    bool Submit(TWriteJob job);
    // Waits until every job in hand is published and delivered. Jobs that no
    // worker has begun by the deadline are dropped (each named in the log); the ones begun are
    // always finished, since a system call on the disk cannot be called back. Call on the owner's
    // thread.
    void Drain(std::chrono::milliseconds bound);
    // Jobs taken and not yet published.
    int InHand() const;
    int Workers() const { return static_cast<int>(workers_.size()); }

private:
    struct Queued {
        std::uint64_t sequence = 0;
        TWriteJob job;
    };
    struct Done {
        TPreparedFile prepared;
        std::exception_ptr error;
        TCaptureTime captured{};
    };

    int FrameLimit() const;
    void Work();
    Done RunJob(const TWriteJob& job, TJPEGImage& encoder);
    void PublishInOrder(std::uint64_t sequence, Done done);
    void PostDelivery();
    void OnWake();
    void Deliver();

    // Lives on the owner's thread: the delivery event is handled there. A
    // plain posted event, handed over whole to the owner's queue; only
    // when the eventfd below could not be made.
    class TDeliveryPoint : public QObject {
    public:
        explicit TDeliveryPoint(TWriteQueue& queue) : queue_(queue) {}
        bool event(QEvent* event) override;

    private:
        TWriteQueue& queue_;
    };

    TFrameWriter& writer_;
    const Delivered delivered_;
    const Limits limits_;
    TDeliveryPoint context_{*this};
    // Results are waiting: a worker writes to the eventfd, and the owner's
    // event loop reads it. No object of the owner's thread is touched by a
    // worker, and no memory passes through Qt's posted-event queue.
    UniqueFd wake_;
    std::unique_ptr<QSocketNotifier> wakeNotifier_;

    mutable std::mutex lock_;
    std::condition_variable jobReady_;
    std::condition_variable jobDone_;
    std::deque<Queued> queued_;
    std::uint64_t nextSequence_ = 0;
    int inHand_ = 0;
    std::size_t bytesInHand_ = 0;
    bool stopping_ = false;
    bool dropQueued_ = false;
    std::vector<TWriteResult> toDeliver_;
    bool deliveryPosted_ = false;

    // The ordered step: results wait here for the ones before them.
    std::mutex publishLock_;
    std::map<std::uint64_t, Done> finished_;
    std::uint64_t nextToPublish_ = 0;

    std::vector<std::thread> workers_;
};

}  // namespace vistrel
