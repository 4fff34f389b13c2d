// SPDX-License-Identifier: MIT
// Checks the capture layer against a real V4L2 driver (the kernel's vivid
// test driver inside the VM that `make test-driver` boots). Each command
// prints PASS or FAIL lines and exits 1 when anything failed.
//
//   capture_driver_check list [EXPECTED_COUNT]
//   capture_driver_check stream DEVICE FOURCC FRAMES
//       (FOURCC as V4L2 names it: YUYV YU12 YV12 BGR3)
//   capture_driver_check error-flag DEVICE
//   capture_driver_check fatal DEVICE
//   capture_driver_check disconnect DEVICE
//   capture_driver_check set-format DEVICE FOURCC [WxH [BYTESPERLINE]]
//       (for other programs that follow; 320x180 by default; with BYTESPERLINE,
//       PASS only when the driver pads its rows to it)
//   capture_driver_check floor DEVICE FRAMES
//       (prints "FLOOR frames=N cpu_ms=X": the processor time a frame takes
//       this process to dequeue and requeue a buffer, nothing else)
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "capture/device_enum.h"
#include "capture/fourcc.h"
#include "capture/video_sample.h"

namespace {

using namespace vistrel;
using namespace std::chrono_literals;

int failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) {
        ++failures;
    }
}

std::string Hex(TStatus s) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(s));
    return text;
}

std::uint32_t PixelFormatFromText(const std::string& text) {
    if (text.size() != 4) {
        return 0;
    }
    return v4l2_fourcc(text[0], text[1], text[2], text[3]);
}

// The node the walk opens for DEVICE ("#n" or a name), found through the
// capture layer itself so that the check exercises the same walk.
std::string NodeOf(const std::string& device) {
    TStatus status;
    TVideoSample sample(nullptr, status);
    std::string name;
    if (Failed(sample.StartVideo(device, name))) {
        return {};
    }
    return sample.DevicePath();
}

// A control of the driver found by name, so the check does not depend on
// the private control ids of one kernel version.
bool FindControl(int fd, const std::string& name, v4l2_queryctrl& found) {
    v4l2_queryctrl q{};
    q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (ioctl(fd, VIDIOC_QUERYCTRL, &q) == 0) {
        const std::string controlName(
            reinterpret_cast<const char*>(q.name),
            strnlen(reinterpret_cast<const char*>(q.name), sizeof q.name));
        std::string lowered;
        for (char c : controlName) {
            lowered +=
                c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (lowered == name) {
            found = q;
            return true;
        }
        q.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    return false;
}

bool SetControl(const std::string& node, const std::string& name, int value) {
    const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    v4l2_queryctrl q{};
    bool ok = FindControl(fd, name, q);
    if (ok) {
        v4l2_control c{};
        c.id = q.id;
        c.value = value;
        ok = ioctl(fd, VIDIOC_S_CTRL, &c) == 0;
    }
    close(fd);
    return ok;
}

// Sets the format (at 320x180, 30 frames a second to keep the emulated VM
// quick); the capture layer then takes it as the device's current format.
bool SetFormat(const std::string& node, std::uint32_t pixelFormat, std::uint32_t width = 320,
               std::uint32_t height = 180, std::uint32_t bytesPerLine = 0) {
    const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    f.fmt.pix.width = width;
    f.fmt.pix.height = height;
    f.fmt.pix.pixelformat = pixelFormat;
    f.fmt.pix.field = V4L2_FIELD_NONE;
    f.fmt.pix.bytesperline = bytesPerLine;
    bool ok = ioctl(fd, VIDIOC_S_FMT, &f) == 0 && f.fmt.pix.pixelformat == pixelFormat &&
              (bytesPerLine == 0 || f.fmt.pix.bytesperline == bytesPerLine);
    std::printf("-- %s: %ux%u %.4s, %u bytes per line, %u bytes a frame\n", node.c_str(),
                f.fmt.pix.width, f.fmt.pix.height,
                reinterpret_cast<const char*>(&f.fmt.pix.pixelformat), f.fmt.pix.bytesperline,
                f.fmt.pix.sizeimage);
    v4l2_streamparm p{};
    p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    p.parm.capture.timeperframe = {1, 30};
    ioctl(fd, VIDIOC_S_PARM, &p);  // the rate is only a speed-up
    close(fd);
    return ok;
}

class Sink {
public:
    static void Routine(void* userData, const std::uint8_t* data, std::int32_t& length,
                        TCaptureTime /*captureTime*/) {
        auto* self = static_cast<Sink*>(userData);
        bool nonZero = false;
        for (std::int32_t i = 0; i < length && !nonZero; i += 97) {
            nonZero = data[i] != 0;
        }
        std::lock_guard lock(self->mutex_);
        self->lengths_.push_back(length);
        self->blank_ += nonZero ? 0 : 1;
        self->changed_.notify_all();
    }
    bool Wait(std::size_t count, std::chrono::seconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return lengths_.size() >= count; });
    }
    std::vector<std::int32_t> Lengths() {
        std::lock_guard lock(mutex_);
        return lengths_;
    }
    int Blank() {
        std::lock_guard lock(mutex_);
        return blank_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::int32_t> lengths_;
    int blank_ = 0;
};

class LostFlag {
public:
    void Set(TStatus reason) {
        std::lock_guard lock(mutex_);
        ++calls_;
        reason_ = reason;
        changed_.notify_all();
    }
    bool Wait(std::chrono::seconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return calls_ > 0; });
    }
    int Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    TStatus Reason() {
        std::lock_guard lock(mutex_);
        return reason_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int calls_ = 0;
    TStatus reason_ = 0;
};

int List(int expected) {
    std::vector<std::string> names;
    const TStatus status = EnumCaptureDevices(names);
    Check(Succeeded(status), "EnumCaptureDevices status " + Hex(status));
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::printf("%zu\t%s\t%s\n", i + 1, names[i].c_str(),
                    NodeOf("#" + std::to_string(i + 1)).c_str());
    }
    if (expected >= 0) {
        Check(static_cast<int>(names.size()) == expected,
              "device count " + std::to_string(names.size()) + " == " + std::to_string(expected));
    }
    // "#n" opens the node at position n, even when names are identical.
    std::vector<std::string> nodes;
    for (std::size_t i = 0; i < names.size(); ++i) {
        nodes.push_back(NodeOf("#" + std::to_string(i + 1)));
    }
    bool distinct = true;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        for (std::size_t j = i + 1; j < nodes.size(); ++j) {
            distinct = distinct && nodes[i] != nodes[j] && !nodes[i].empty();
        }
    }
    Check(distinct, "each position opens its own node");
    if (!names.empty()) {
        Check(NodeOf(names[0]) == nodes[0], "a shared name opens the first device");
        Check(NodeOf("#" + std::to_string(names.size() + 1)).empty(),
              "a position past the last device opens nothing");
    }
    return failures == 0 ? 0 : 1;
}

int Stream(const std::string& device, const std::string& fourcc, int frames) {
    const std::uint32_t pixelFormat = PixelFormatFromText(fourcc);
    const std::string node = NodeOf(device);
    Check(!node.empty(), device + " opens a node (" + node + ")");
    Check(SetFormat(node, pixelFormat), "driver takes format " + fourcc);

    LostFlag lost;
    Sink sink;
    TStatus status;
    auto sample = std::make_unique<TVideoSample>([&](TStatus r) { lost.Set(r); }, status);
    std::string name;
    status = sample->StartVideo(device, name);
    Check(status == kStatusOk,
          "StartVideo(" + device + ") " + Hex(status) + " name '" + name + "'");
    if (Failed(status)) {
        return 1;
    }
    std::int32_t w = 0, h = 0;
    std::uint32_t compression = 0xFFFFFFFF;
    status = sample->GetStreamInfo(w, h, compression);
    Check(status == kStatusOk && w == 320 && h == 180 &&
              compression == CompressionFromV4L2(pixelFormat),
          "GetStreamInfo " + Hex(status) + " " + std::to_string(w) + "x" + std::to_string(h) + " " +
              FourCCName(compression));
    TStreamFormat format;
    sample->StreamFormat(format);
    sample->SetFrameCallback(&Sink::Routine, &sink);
    Check(sink.Wait(frames, 60s), std::to_string(frames) + " frames delivered");
    sample.reset();
    const std::vector<std::int32_t> lengths = sink.Lengths();
    bool sized = !lengths.empty();
    for (std::int32_t l : lengths) {
        sized = sized && static_cast<std::uint32_t>(l) == format.sizeImage;
    }
    Check(sized, "every sample is bytesused = sizeimage = " + std::to_string(format.sizeImage) +
                     " (bytesperline " + std::to_string(format.bytesPerLine) + ")");
    Check(sink.Blank() == 0, "no blank samples");
    Check(lost.Calls() == 0, "no device-lost notification");
    const std::size_t after = sink.Lengths().size();
    std::this_thread::sleep_for(300ms);
    Check(sink.Lengths().size() == after, "no sample after destruction");
    return failures == 0 ? 0 : 1;
}

// Starts streaming with a sink, runs fault(node), and returns the graph.
struct Running {
    std::unique_ptr<TVideoSample> sample;
    std::string node;
};

Running StartRunning(const std::string& device, Sink& sink, LostFlag& lost) {
    Running r;
    TStatus status;
    r.sample = std::make_unique<TVideoSample>([&lost](TStatus s) { lost.Set(s); }, status);
    std::string name;
    status = r.sample->StartVideo(device, name);
    Check(status == kStatusOk, "StartVideo(" + device + ") " + Hex(status));
    std::int32_t w, h;
    std::uint32_t c;
    r.sample->GetStreamInfo(w, h, c);
    r.sample->SetFrameCallback(&Sink::Routine, &sink);
    r.node = r.sample->DevicePath();
    Check(sink.Wait(2, 60s), "frames flow before the fault");
    return r;
}

int ErrorFlag(const std::string& device) {
    Sink sink;
    LostFlag lost;
    Running r = StartRunning(device, sink, lost);
    Check(SetControl(r.node, "inject_v4l2_buf_flag_error", 1), "inject_v4l2_buf_flag_error set");
    const std::size_t before = sink.Lengths().size();
    Check(sink.Wait(before + 5, 60s), "frames keep flowing after a damaged buffer");
    const TCaptureStats stats = r.sample->Stats();
    Check(stats.errorBuffers == 1, "one buffer dropped for V4L2_BUF_FLAG_ERROR (" +
                                       std::to_string(stats.errorBuffers) + ")");
    Check(lost.Calls() == 0, "no device-lost notification");
    return failures == 0 ? 0 : 1;
}

int Fatal(const std::string& device) {
    Sink sink;
    LostFlag lost;
    Running r = StartRunning(device, sink, lost);
    Check(SetControl(r.node, "inject_fatal_streaming_error", 1),
          "inject_fatal_streaming_error set");
    Check(lost.Wait(30s), "device-lost notification after a fatal streaming error");
    Check(lost.Reason() == StatusFromErrno(EIO), "reason " + Hex(lost.Reason()) + " (EIO)");
    Check(r.sample->DeviceLost(), "capture thread ended");
    r.sample.reset();
    Check(lost.Calls() == 1, "notified exactly once");
    // Teardown stopped streaming, so the device works again.
    Check(!NodeOf(device).empty(), "device opens again after teardown");
    return failures == 0 ? 0 : 1;
}

int Disconnect(const std::string& device) {
    Sink sink;
    LostFlag lost;
    Running r = StartRunning(device, sink, lost);
    Check(SetControl(r.node, "disconnect", 1), "disconnect control pressed");
    Check(lost.Wait(30s), "device-lost notification after the unplug");
    Check(lost.Reason() == StatusFromErrno(ENODEV), "reason " + Hex(lost.Reason()) + " (ENODEV)");
    std::int32_t w, h;
    std::uint32_t c = 0;
    const TStatus info = r.sample->GetStreamInfo(w, h, c);
    Check(Failed(info), "GetStreamInfo after the unplug fails: " + Hex(info));
    const std::size_t frames = sink.Lengths().size();
    std::this_thread::sleep_for(300ms);
    Check(sink.Lengths().size() == frames, "no sample after the unplug");
    const auto start = std::chrono::steady_clock::now();
    r.sample.reset();
    Check(std::chrono::steady_clock::now() - start < 5s, "teardown returns promptly");
    Check(lost.Calls() == 1, "notified exactly once");
    // With every fd and mapping gone the driver plugs the device back in.
    std::string again;
    for (int i = 0; i < 50 && again.empty(); ++i) {
        again = NodeOf(device);
        if (again.empty()) {
            std::this_thread::sleep_for(100ms);
        }
    }
    Check(!again.empty(), "device opens again after teardown");
    return failures == 0 ? 0 : 1;
}

double ProcessCpuMilliseconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The floor under any capture program: four driver buffers, each frame one
// blocking VIDIOC_DQBUF and one VIDIOC_QBUF, the buffer not even read. The
// processor time per frame is what an untaken frame of the capture layer is
// set against.
int Floor(const std::string& device, int frames) {
    const std::string node = NodeOf(device);
    const UniqueFd owner(node.empty() ? -1 : open(node.c_str(), O_RDWR | O_CLOEXEC));
    Check(static_cast<bool>(owner), device + " opens (" + node + ")");
    if (!owner) {
        return 1;
    }
    const int fd = owner.Get();
    v4l2_requestbuffers request{};
    request.count = 4;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    bool ok = ioctl(fd, VIDIOC_REQBUFS, &request) == 0 && request.count > 0;
    const auto buffer = [](std::uint32_t index) {
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = index;
        return b;
    };
    for (std::uint32_t i = 0; ok && i < request.count; ++i) {
        v4l2_buffer b = buffer(i);
        ok = ioctl(fd, VIDIOC_QBUF, &b) == 0;
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ok = ok && ioctl(fd, VIDIOC_STREAMON, &type) == 0;
    constexpr int kWarmUp = 10;
    double start = 0;
    int done = 0;
    for (; ok && done < kWarmUp + frames; ++done) {
        if (done == kWarmUp) {
            start = ProcessCpuMilliseconds();
        }
        v4l2_buffer b = buffer(0);
        ok = ioctl(fd, VIDIOC_DQBUF, &b) == 0 && ioctl(fd, VIDIOC_QBUF, &b) == 0;
    }
    const double spent = ProcessCpuMilliseconds() - start;
    Check(ok, std::to_string(frames) + " frames dequeued and requeued");
    if (ok) {
        std::printf("FLOOR frames=%d cpu_ms=%.4f\n", frames, spent / frames);
    }
    ioctl(fd, VIDIOC_STREAMOFF, &type);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "list") {
        return List(args.size() > 1 ? std::stoi(args[1]) : -1);
    }
    if (args.size() == 4 && args[0] == "stream") {
        return Stream(args[1], args[2], std::stoi(args[3]));
    }
    if (args.size() == 2 && args[0] == "error-flag") {
        return ErrorFlag(args[1]);
    }
    if (args.size() == 2 && args[0] == "fatal") {
        return Fatal(args[1]);
    }
    if (args.size() == 2 && args[0] == "disconnect") {
        return Disconnect(args[1]);
    }
    if (args.size() == 3 && args[0] == "floor") {
        return Floor(args[1], std::stoi(args[2]));
    }
    if (args.size() == 4 && args[0] == "set-control") {
        // A node path: the device may be streaming for another process, so
        // it is not opened through a capture start.
        return SetControl(args[1], args[2], std::stoi(args[3])) ? 0 : 1;
    }
    if (args.size() >= 3 && args.size() <= 5 && args[0] == "set-format") {
        const std::string node = NodeOf(args[1]);
        unsigned width = 320, height = 180;
        if (args.size() >= 4 && std::sscanf(args[3].c_str(), "%ux%u", &width, &height) != 2) {
            return 2;
        }
        const auto bytesPerLine =
            args.size() == 5 ? static_cast<std::uint32_t>(std::stoul(args[4])) : 0u;
        Check(SetFormat(node, PixelFormatFromText(args[2]), width, height, bytesPerLine),
              node + " set to " + args[2] + (args.size() >= 4 ? " " + args[3] : "") +
                  (bytesPerLine != 0 ? ", " + args[4] + " bytes per line" : ""));
        return failures == 0 ? 0 : 1;
    }
    std::fprintf(stderr,
                 "usage: capture_driver_check list [N] | stream DEVICE FOURCC FRAMES |\n"
                 "       error-flag DEVICE | fatal DEVICE | disconnect DEVICE |\n"
                 "       set-format DEVICE FOURCC [WxH [BYTESPERLINE]] |\n"
                 "       set-control NODE NAME VALUE | floor DEVICE FRAMES\n");
    return 2;
}
