// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cerrno>

#include "frontend/failure_text.h"

namespace vistrel {
namespace {

TEST(FailureTextTest, StartFailuresKeepTheFirstSentenceAndTellTheCause) {
    const struct {
        TVideoImage::StartFailure failure;
        const char* message;
    } cases[] = {
        {{kStatusOk, {}, {}, {}}, "Could not start grabbing!"},
        {{StatusFromErrno(EBUSY), {}, "#1", "/dev/video0"},
         "Could not start grabbing! /dev/video0 is busy: another program is using the camera."},
        {{StatusFromErrno(EACCES), {}, "#2", "/dev/video1"},
         "Could not start grabbing! /dev/video1 cannot be opened: permission denied; add your "
         "user to the video group."},
        {{StatusFromErrno(ENODEV), {}, "Door Cam", {}},
         "Could not start grabbing! Camera \"Door Cam\" is not there: the camera was unplugged "
         "or switched off."},
        {{StatusFromErrno(EINVAL), {}, "#1", "/dev/video0"},
         "Could not start grabbing! /dev/video0 does not support the requested format or way of "
         "capturing."},
        {{StatusFromErrno(EIO), {}, "#1", "/dev/video0"},
         "Could not start grabbing! /dev/video0: Input/output error."},
        {{kStatusFail, {}, "#3", {}}, "Could not start grabbing! No camera \"#3\" was found."},
        {{kStatusFail, {}, "#0", {}}, "Could not start grabbing! No camera is chosen."},
        {{kStatusFail, {}, "#1", "/dev/video4"},
         "Could not start grabbing! /dev/video4 could not be set up for capturing."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StartFailureMessage(c.failure).toStdString(), c.message);
    }
}

}  // namespace
}  // namespace vistrel
