// SPDX-License-Identifier: MIT
// The device walk shared by enumeration and the device search: order,
// skipped and unreadable nodes, and how StartVideo matches names and "#n".
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "capture/device_enum.h"
#include "capture/device_events.h"
#include "capture/fourcc.h"
#include "capture/video_sample.h"
#include "capture_test_util.h"
#include "fake_v4l2.h"

namespace vistrel {
namespace {

using test::FakeDeviceConfig;

FakeDeviceConfig Camera(const std::string& card, int number = -1) {
    FakeDeviceConfig config;
    config.card = card;
    config.number = number;
    return config;
}

FakeDeviceConfig NonCapture(std::uint32_t caps, int number = -1) {
    FakeDeviceConfig config;
    config.card = "not a camera";
    config.number = number;
    config.deviceCaps = caps;
    return config;
}

class DeviceWalkTest : public test::FakeDeviceTest {
protected:
    std::vector<std::string> Enumerate(TStatus* status = nullptr) {
        std::vector<std::string> list{"stale entry"};
        const TStatus s = EnumCaptureDevices(list, *fake_);
        if (status != nullptr) {
            *status = s;
        }
        return list;
    }

    // Starts a device the way the session does; returns the status, the
    // matched friendly name and the node that was opened.
    struct Started {
        TStatus status;
        std::string friendlyName;
        std::string path;
    };
    Started Start(const std::string& name) {
        TStatus constructed;
        TVideoSample sample({}, constructed, fake_);
        EXPECT_EQ(constructed, kStatusOk);
        Started result;
        result.friendlyName = "left over";
        result.status = sample.StartVideo(name, result.friendlyName);
        result.path = sample.DevicePath();
        return result;
    }
};

TEST_F(DeviceWalkTest, ListsCaptureNodesInNumericOrderAndSkipsOthers) {
    // Added out of order; the fake also lists them backwards.
    fake_->AddDevice(Camera("Ten", 10));
    fake_->AddDevice(Camera("Two", 2));
    fake_->AddDevice(NonCapture(V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING, 3));
    fake_->AddDevice(NonCapture(V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING, 4));
    fake_->AddDevice(NonCapture(V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE, 5));  // no streaming
    fake_->AddDevice(NonCapture(V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING, 6));
    fake_->AddDevice(Camera("Zero", 0));

    TStatus status;
    EXPECT_EQ(Enumerate(&status), (std::vector<std::string>{"Zero", "Two", "Ten"}));
    EXPECT_EQ(status, kStatusOk);
    // Positions count capture devices only: "#3" is video10.
    EXPECT_EQ(Start("#3").path, "/dev/video10");
    EXPECT_EQ(Start("#2").friendlyName, "Two");
}

TEST_F(DeviceWalkTest, NoCaptureDeviceGivesStatusOneAndEmptyList) {
    TStatus status;
    EXPECT_TRUE(Enumerate(&status).empty());
    EXPECT_EQ(status, kStatusFalse);
    EXPECT_EQ(Start("").status, kStatusFail);

    fake_->AddDevice(NonCapture(V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING));
    EXPECT_TRUE(Enumerate(&status).empty());
    EXPECT_EQ(status, kStatusFalse);
    EXPECT_EQ(Start("#1").status, kStatusFail);
}

TEST_F(DeviceWalkTest, UnlistableDevicesGiveTheErrnoStatus) {
    fake_->AddDevice(Camera("A"));
    fake_->SetListError(EACCES);
    TStatus status;
    EXPECT_TRUE(Enumerate(&status).empty());
    EXPECT_EQ(status, StatusFromErrno(EACCES));
    EXPECT_EQ(Start("#1").status, StatusFromErrno(EACCES));
}

TEST_F(DeviceWalkTest, RepeatedEnumerationReplacesTheList) {
    fake_->AddDevice(Camera("A"));
    fake_->AddDevice(Camera("B"));
    std::vector<std::string> list;
    EXPECT_EQ(EnumCaptureDevices(list, *fake_), kStatusOk);
    EXPECT_EQ(EnumCaptureDevices(list, *fake_), kStatusOk);
    EXPECT_EQ(list, (std::vector<std::string>{"A", "B"}));
}

TEST_F(DeviceWalkTest, NamesAreListedAsReportedIncludingBlanksAndFullWidth) {
    fake_->AddDevice(Camera("  Blank Cam \t"));
    const std::string full(32, 'X');  // fills the card field with no terminator
    fake_->AddDevice(Camera(full + "overflow"));
    EXPECT_EQ(Enumerate(), (std::vector<std::string>{"  Blank Cam \t", full}));

    const Started started = Start("blank cam");
    EXPECT_EQ(started.status, kStatusOk);
    EXPECT_EQ(started.friendlyName, "Blank Cam");  // trimmed on the way out
    EXPECT_EQ(Start(full).path, "/dev/video1");
}

TEST_F(DeviceWalkTest, UnreadableNodesAreSkippedTheSameWayByBothWalks) {
    FakeDeviceConfig refused = Camera("Locked");
    refused.openError = EACCES;
    fake_->AddDevice(refused);
    fake_->AddDevice(Camera("Second"));
    FakeDeviceConfig third = Camera("Third");
    third.querycapError = EIO;
    fake_->AddDevice(third);
    fake_->AddDevice(Camera("Fourth"));

    TStatus status;
    EXPECT_EQ(Enumerate(&status), (std::vector<std::string>{"Second", "Fourth"}));
    EXPECT_EQ(status, kStatusOk);
    std::vector<TCaptureNode> nodes;
    std::vector<TUnopenedNode> unopened;
    EXPECT_EQ(EnumCaptureNodes(nodes, *fake_, &unopened), kStatusOk);
    ASSERT_EQ(unopened.size(), 2u);
    EXPECT_EQ(unopened[0].path, "/dev/video0");
    EXPECT_EQ(unopened[0].errorNumber, EACCES);
    EXPECT_EQ(unopened[1].errorNumber, EIO);

    EXPECT_EQ(Start("#1").friendlyName, "Second");
    EXPECT_EQ(Start("#2").path, "/dev/video3");
    EXPECT_EQ(Start("fourth").status, kStatusOk);
    // No match: the first node passed over may have been it, so its cause is told.
    const Started missing = Start("#3");
    EXPECT_EQ(missing.status, StatusFromErrno(EACCES));
    EXPECT_EQ(missing.path, "/dev/video0");
    EXPECT_EQ(Start("Locked").status, StatusFromErrno(EACCES));
}

TEST_F(DeviceWalkTest, PositionFormRules) {
    for (int i = 1; i <= 12; ++i) {
        fake_->AddDevice(Camera("Cam " + std::to_string(i)));
    }
    const std::vector<std::string> list = Enumerate();
    ASSERT_EQ(list.size(), 12u);
    // "#n" opens the device shown at position n, past the ninth too.
    for (int n = 1; n <= 12; ++n) {
        const Started s = Start("#" + std::to_string(n));
        EXPECT_EQ(s.status, kStatusOk) << n;
        EXPECT_EQ(s.friendlyName, list[n - 1]) << n;
        EXPECT_EQ(s.path, "/dev/video" + std::to_string(n - 1)) << n;
    }
    EXPECT_EQ(Start("  #12\t\n").path, "/dev/video11");  // trimmed first
    EXPECT_EQ(Start("").path, "/dev/video0");            // empty is "#1"
    EXPECT_EQ(Start(" \t ").path, "/dev/video0");
    EXPECT_EQ(Start(std::string("\0\x1f", 2)).path, "/dev/video0");  // codes 0-32 are blanks

    const Started beyond = Start("#13");
    EXPECT_EQ(beyond.status, kStatusFail);
    EXPECT_EQ(beyond.friendlyName, "");
    EXPECT_EQ(beyond.path, "");
    EXPECT_EQ(Start("#0").status, kStatusFail);
    EXPECT_EQ(Start("#01").status, kStatusFail);
    EXPECT_EQ(Start("# 1").status, kStatusFail);
    EXPECT_EQ(Start("#+1").status, kStatusFail);
}

TEST_F(DeviceWalkTest, PositionLikeNamesMatchOnlyByName) {
    fake_->AddDevice(Camera("Cam"));
    fake_->AddDevice(Camera("#01"));
    fake_->AddDevice(Camera("#0"));
    fake_->AddDevice(Camera("#2"));  // at position 4, named like position 2
    EXPECT_EQ(Start("#01").path, "/dev/video1");
    EXPECT_EQ(Start("#0").path, "/dev/video2");
    // The first device that matches by name or position wins: video1 is #2.
    EXPECT_EQ(Start("#2").path, "/dev/video1");
}

TEST_F(DeviceWalkTest, NameMatchingFoldsOnlyAsciiLetters) {
    fake_->AddDevice(Camera("USB Camera \xc3\xa4"));  // "ä" in UTF-8
    fake_->AddDevice(Camera("Caf\xc3\xa9"));
    EXPECT_EQ(Start("usb camera \xc3\xa4").path, "/dev/video0");
    EXPECT_EQ(Start("USB CAMERA \xc3\x84").status, kStatusFail);  // "Ä" differs
    EXPECT_EQ(Start("CAF\xc3\xa9").path, "/dev/video1");
    EXPECT_EQ(Start("Camera").status, kStatusFail);  // whole names only
}

TEST_F(DeviceWalkTest, IdenticalCamerasDifferOnlyByPosition) {
    fake_->AddDevice(Camera("Webcam"));
    fake_->AddDevice(Camera("Webcam"));
    EXPECT_EQ(Enumerate(), (std::vector<std::string>{"Webcam", "Webcam"}));
    EXPECT_EQ(Start("Webcam").path, "/dev/video0");
    EXPECT_EQ(Start("#1").path, "/dev/video0");
    EXPECT_EQ(Start("#2").path, "/dev/video1");
    EXPECT_EQ(Start("#2").friendlyName, "Webcam");
}

// udev's stable links name one of two identical cameras: a by-path link to a
// by-id link (relative, as udev makes them) to the node, followed to the end.
TEST_F(DeviceWalkTest, AStableLinkOpensTheCameraItLeadsTo) {
    fake_->AddDevice(Camera("Webcam"));
    fake_->AddDevice(Camera("Webcam", 7));
    const std::filesystem::path root = std::filesystem::path(testing::TempDir()) / "v4l-links";
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "v4l" / "by-id");
    std::filesystem::create_directories(root / "v4l" / "by-path");
    const std::filesystem::path byId = root / "v4l" / "by-id" / "usb-Webcam_42-video-index0";
    const std::filesystem::path byPath =
        root / "v4l" / "by-path" / "pci-0-usb-0:2:1.0-video-index0";
    std::filesystem::create_symlink("/dev/video7", byId);
    std::filesystem::create_symlink("../by-id/usb-Webcam_42-video-index0", byPath);

    EXPECT_EQ(ResolveDevicePath(byPath.string()), "/dev/video7");
    EXPECT_EQ(Start(byPath.string()).path, "/dev/video7");
    EXPECT_EQ(Start(byId.string()).path, "/dev/video7");
    EXPECT_EQ(Start("/dev/video7").path, "/dev/video7");
    EXPECT_EQ(DeviceLinkTo("/dev/video7", (root / "v4l" / "by-id").string()), byId.string());
    EXPECT_EQ(DeviceLinkTo("/dev/video0", (root / "v4l" / "by-id").string()), "");
    EXPECT_EQ(Start((root / "v4l" / "by-id" / "gone").string()).status, kStatusFail);
    std::filesystem::remove_all(root);
}

TEST_F(DeviceWalkTest, DevicesAreOpenedNonBlockingAndClosedAfterTheWalk) {
    fake_->AddDevice(Camera("A"));
    fake_->AddDevice(Camera("B"));
    fake_->AddDevice(Camera("C"));
    {
        TStatus constructed;
        TVideoSample sample({}, constructed, fake_);
        std::string name;
        ASSERT_EQ(sample.StartVideo("#2", name), kStatusOk);
        // Only the chosen device stays open, and the walk stopped there.
        EXPECT_EQ(fake_->OpenFds(), 1);
        EXPECT_EQ(fake_->OpenCalls(2), 0);
        EXPECT_TRUE(fake_->Streaming(1));
    }
    EXPECT_FALSE(fake_->Streaming(1));
}

TEST_F(DeviceWalkTest, NodesCarryIdentityAndAnUnpluggedCameraReturnsWithIt) {
    FakeDeviceConfig desk = Camera("Desk");
    desk.busInfo = "usb-0000:00:14.0-1";
    const int deskId = fake_->AddDevice(desk);
    fake_->AddDevice(Camera("Door"));
    std::vector<TCaptureNode> nodes;
    ASSERT_EQ(EnumCaptureNodes(nodes, *fake_), kStatusOk);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].position, 1);
    EXPECT_EQ(nodes[0].path, "/dev/video0");
    EXPECT_EQ(nodes[0].identity, (TCameraIdentity{"Desk", "usb-0000:00:14.0-1"}));
    EXPECT_EQ(nodes[1].identity, (TCameraIdentity{"Door", "fake:/dev/video1"}));
    {
        TStatus constructed;
        TVideoSample sample({}, constructed, fake_);
        std::string name;
        ASSERT_EQ(sample.StartVideo("#1", name), kStatusOk);
        EXPECT_EQ(sample.Identity(), nodes[0].identity);
    }

    // Pulled out: the node leaves the list and its path no longer opens.
    fake_->UnplugDevice(deskId);
    ASSERT_EQ(EnumCaptureNodes(nodes, *fake_), kStatusOk);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].position, 1);
    EXPECT_EQ(nodes[0].identity.card, "Door");
    EXPECT_EQ(fake_->Open("/dev/video0", 0), -ENOENT);

    // Back under another node number, with the same card and bus info.
    const int back = fake_->ReturnDevice(deskId, 7);
    EXPECT_EQ(fake_->PathOf(back), "/dev/video7");
    ASSERT_EQ(EnumCaptureNodes(nodes, *fake_), kStatusOk);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[1].position, 2);
    EXPECT_EQ(nodes[1].identity, (TCameraIdentity{"Desk", "usb-0000:00:14.0-1"}));
    EXPECT_EQ(Start("#2").path, "/dev/video7");
}

TEST(CameraIdentityTest, SameCardAndBusElseTheOnlyCameraWithThatCard) {
    const TCameraIdentity desk{"Desk", "usb-1"};
    auto node = [](int position, const std::string& card, const std::string& bus) {
        return TCaptureNode{position, "/dev/video" + std::to_string(position - 1), {card, bus}};
    };
    const std::vector<TCaptureNode> moved{node(1, "Door", "usb-1"), node(2, "Desk", "usb-2")};
    // Same card and bus wins over an earlier device with only the card.
    const std::vector<TCaptureNode> both{node(1, "Desk", "usb-3"), node(2, "Desk", "usb-1")};
    const std::vector<TCaptureNode> twins{node(1, "Desk", "usb-2"), node(2, "Desk", "usb-3")};

    ASSERT_NE(FindSameCamera(desk, both), nullptr);
    EXPECT_EQ(FindSameCamera(desk, both)->position, 2);
    // Another port: the only camera with that card name.
    ASSERT_NE(FindSameCamera(desk, moved), nullptr);
    EXPECT_EQ(FindSameCamera(desk, moved)->position, 2);
    // Two with that card and neither on the bus: which one is unknown.
    EXPECT_EQ(FindSameCamera(desk, twins), nullptr);
    EXPECT_EQ(FindSameCamera(desk, {}), nullptr);
    EXPECT_EQ(FindSameCamera({"Door", ""}, {node(1, "Desk", "usb-1")}), nullptr);
    // Nothing identified (no camera was ever started): nothing matches.
    EXPECT_EQ(FindSameCamera({}, {node(1, "", "")}), nullptr);
}

TEST(DeviceEventsTest, UdevMonitorOpensQuietOrIsUnavailable) {
    // Machines without udev's netlink socket get none; where it opens, it
    // owns a descriptor and nothing is pending for a test that changed nothing.
    if (const std::unique_ptr<TDeviceEvents> events = OpenVideoDeviceEvents()) {
        EXPECT_GE(events->Fd(), 0);
        EXPECT_FALSE(events->Drain());
    }
}

TEST(VideoSampleConstructionTest, FailedConstructionMakesStartFailAndDestroysCleanly) {
    TStatus status = kStatusOk;
    TVideoSample sample({}, status, nullptr);
    EXPECT_EQ(status, kStatusFail);
    std::string name = "old";
    EXPECT_EQ(sample.StartVideo("#1", name), kStatusFail);
    EXPECT_EQ(name, "");
    std::int32_t w = 1, h = 1;
    std::uint32_t c = 7;
    EXPECT_EQ(sample.GetStreamInfo(w, h, c), kStatusFail);
    EXPECT_EQ(c, 7u);
}

TEST(CaptureHelpersTest, SortsNodesByNumber) {
    std::vector<std::string> nodes{"/dev/video10", "/dev/video2", "/dev/video1", "/dev/videoX",
                                   "/dev/video0"};
    SortDeviceNodes(nodes);
    EXPECT_EQ(nodes, (std::vector<std::string>{"/dev/video0", "/dev/video1", "/dev/video2",
                                               "/dev/video10", "/dev/videoX"}));
}

TEST(CaptureHelpersTest, NamesCodesAndStatuses) {
    EXPECT_EQ(FourCCName(0), "RGB");
    // Any byte values are kept as they are, low byte first.
    EXPECT_EQ(FourCCName(0x00410001), std::string("\x01\0A\0", 4));
    EXPECT_EQ(FourCCName(FourCCFromChars('Y', 'V', '1', '2')), "YV12");
    EXPECT_EQ(StatusFromErrno(ENODEV), static_cast<TStatus>(0x80070013u));
    EXPECT_EQ(ErrnoOfStatus(StatusFromErrno(ENODEV)), ENODEV);
    EXPECT_EQ(ErrnoOfStatus(kStatusFail), 0);
}

}  // namespace
}  // namespace vistrel
