// SPDX-License-Identifier: MIT
#include "frontend/write_queue.h"

#include <QCoreApplication>
#include <QEvent>

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <utility>

#include "base/errors.h"
#include "logging.h"

namespace vistrel {

namespace {

// The queue's own event: results are waiting on the owner's thread.
const QEvent::Type kDeliveryEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

int TWriteQueue::DefaultWorkers() {
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(static_cast<int>(cores), 1, kMaxWorkers);
}

TWriteQueue::TWriteQueue(TFrameWriter& writer, int workers, Delivered delivered, Limits limits)
    : writer_(writer), delivered_(std::move(delivered)), limits_(limits) {
    if (const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); fd >= 0) {
        wake_.Reset(fd);
        wakeNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(wakeNotifier_.get(), &QSocketNotifier::activated, wakeNotifier_.get(),
                         [this] { OnWake(); });
    } else {
        const int error = errno;
        qCWarning(lcFrontend, "eventfd for the writer: %s; results come as posted events",
                  ErrnoText(error).c_str());
    }
    const int count = std::max(workers, 1);
    workers_.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        workers_.emplace_back([this] { Work(); });
    }
}

TWriteQueue::~TWriteQueue() {
    {
        std::unique_lock hold(lock_);
        stopping_ = true;
    }
    jobReady_.notify_all();
    for (std::thread& worker : workers_) {
        worker.join();
    }
    // Outcomes not yet delivered still count: a file written is a file told.
    Deliver();
}

bool TWriteQueue::HasRoom(std::size_t bytes) const {
    const std::lock_guard hold(lock_);
    // One frame larger than the byte bound alone is still taken into an
    // empty queue, or such a camera could never be logged.
    return inHand_ < FrameLimit() && (inHand_ == 0 || bytesInHand_ + bytes <= limits_.bytes);
}

bool TWriteQueue::Submit(TWriteJob job) {
    const std::size_t bytes = job.Bytes();
    {
        const std::lock_guard hold(lock_);
        if (stopping_ || inHand_ >= FrameLimit() ||
            (inHand_ > 0 && bytesInHand_ + bytes > limits_.bytes)) {
            return false;
        }
        ++inHand_;
        bytesInHand_ += bytes;
        queued_.push_back({nextSequence_++, std::move(job)});
    }
    jobReady_.notify_one();
    return true;
}

int TWriteQueue::FrameLimit() const {
    // Every worker holds the frame it works on, and the queue holds the
    // frames waiting for a worker.
    return limits_.frames + static_cast<int>(workers_.size());
}

int TWriteQueue::InHand() const {
    const std::lock_guard hold(lock_);
    return inHand_;
}

void TWriteQueue::Drain(std::chrono::milliseconds bound) {
    std::unique_lock hold(lock_);
    if (!jobDone_.wait_for(hold, bound, [this] { return inHand_ == 0; })) {
        qCWarning(lcFrontend,
                  "%d files still in hand after %lld ms; the ones not begun are dropped", inHand_,
                  static_cast<long long>(bound.count()));
        dropQueued_ = true;
        jobReady_.notify_all();
        jobDone_.wait(hold, [this] { return inHand_ == 0; });
        dropQueued_ = false;
    }
    hold.unlock();
    Deliver();
}

void TWriteQueue::Work() {
    TJPEGImage encoder;  // one per worker: an encoder belongs to one thread
    for (;;) {
        Queued next;
        bool drop = false;
        {
            std::unique_lock hold(lock_);
            jobReady_.wait(hold, [this] { return stopping_ || !queued_.empty(); });
            if (queued_.empty()) {
                return;  // stopping, and nothing left in hand
            }
            next = std::move(queued_.front());
            queued_.pop_front();
            drop = dropQueued_;
        }
        const std::size_t bytes = next.job.Bytes();
        Done done;
        if (drop) {
            // Nothing to publish: the frame is left out, and the order kept.
            qCWarning(lcFrontend, "the picture of %s is not written: writing ends",
                      qUtf8Printable(next.job.stamp));
            done.prepared.stamp = next.job.stamp;
        } else {
            done = RunJob(next.job, encoder);
        }
        next.job.picture = QImage();  // the pixels go as soon as they are encoded
        next.job.jpeg = {};
        PublishInOrder(next.sequence, std::move(done));
        {
            const std::lock_guard hold(lock_);
            --inHand_;
            bytesInHand_ -= bytes;
        }
        jobDone_.notify_all();
    }
}

// The per-file steps, all on this worker: encode, then the directory, the
// free space, the temporary file and its fdatasync.
TWriteQueue::Done TWriteQueue::RunJob(const TWriteJob& job, TJPEGImage& encoder) {
    Done done;
    done.captured = job.captured;
    try {
        done.prepared =
            writer_.PrepareFile(job.ticket, job.stamp, [&]() -> const std::vector<std::uint8_t>& {
                if (!job.jpeg.empty()) {
                    return job.jpeg;  // as the camera sent it
                }
                encoder.SetEncodingQuality(job.quality);
                encoder.ShareImage(job.picture);
                return encoder.Encoded();
            });
    } catch (...) {
        done.error = std::current_exception();
        done.prepared.stamp = job.stamp;
    }
    // The encoder lets go of the picture; its compressed copy is written.
    encoder.SetImage(QImage());
    return done;
}

// The single ordered step: whoever finishes the oldest job in hand publishes
// it and every later one already waiting, one at a time.
void TWriteQueue::PublishInOrder(std::uint64_t sequence, Done done) {
    std::vector<TWriteResult> results;
    {
        const std::lock_guard hold(publishLock_);
        finished_.emplace(sequence, std::move(done));
        for (auto oldest = finished_.begin();
             oldest != finished_.end() && oldest->first == nextToPublish_;
             oldest = finished_.begin()) {
            Done ready = std::move(oldest->second);
            finished_.erase(oldest);
            ++nextToPublish_;
            TWriteResult result;
            result.error = ready.error;
            result.captured = ready.captured;
            if (!ready.error) {
                result.outcome = writer_.PublishFile(std::move(ready.prepared));
            }
            results.push_back(std::move(result));
        }
        if (results.empty()) {
            return;
        }
        // Still under the publishing lock, so results are queued in order.
        const std::lock_guard holdQueue(lock_);
        for (TWriteResult& result : results) {
            toDeliver_.push_back(std::move(result));
        }
    }
    PostDelivery();
}

void TWriteQueue::PostDelivery() {
    {
        const std::lock_guard hold(lock_);
        if (deliveryPosted_) {
            return;
        }
        deliveryPosted_ = true;
    }
    if (wake_) {
        const std::uint64_t one = 1;
        if (::write(wake_.Get(), &one, sizeof one) == static_cast<ssize_t>(sizeof one)) {
            return;
        }
        const int error = errno;
        qCWarning(lcFrontend, "write to the writer's eventfd: %s; a posted event instead",
                  ErrnoText(error).c_str());
    }
    auto event = std::make_unique<QEvent>(kDeliveryEvent);
    QCoreApplication::postEvent(&context_, event.release());  // Qt owns it now
}

bool TWriteQueue::TDeliveryPoint::event(QEvent* event) {
    if (event->type() != kDeliveryEvent) {
        return QObject::event(event);
    }
    queue_.Deliver();
    return true;
}

void TWriteQueue::OnWake() {
    std::uint64_t count = 0;
    if (::read(wake_.Get(), &count, sizeof count) < 0) {
        const int error = errno;
        if (error != EAGAIN) {
            qCWarning(lcFrontend, "read of the writer's eventfd: %s", ErrnoText(error).c_str());
        }
    }
    Deliver();
}

void TWriteQueue::Deliver() {
    std::vector<TWriteResult> results;
    {
        const std::lock_guard hold(lock_);
        results.swap(toDeliver_);
        deliveryPosted_ = false;
    }
    for (const TWriteResult& result : results) {
        if (delivered_) {
            delivered_(result);
        }
    }
}

}  // namespace vistrel
