// SPDX-License-Identifier: MIT
#include "base/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

namespace vistrel {
namespace {

struct RecordingCloser : FdCloser {
    std::vector<int> closed;
    int Close(int fd) override {
        closed.push_back(fd);
        return 0;
    }
};

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFd, ClosesOnceThroughItsCloserOrWithClose) {
    RecordingCloser seam;
    {
        UniqueFd device(41, seam);
        UniqueFd moved = std::move(device);
        EXPECT_FALSE(device);
        EXPECT_EQ(moved.Get(), 41);
        moved.Reset(42);  // closes 41; 42 closes the same way
        EXPECT_EQ(seam.closed, std::vector<int>{41});
    }
    EXPECT_EQ(seam.closed, (std::vector<int>{41, 42}));

    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    {
        UniqueFd read(ends[0]);
        UniqueFd write(ends[1]);
        EXPECT_EQ(write.Release(), ends[1]);
        EXPECT_FALSE(write);
    }
    EXPECT_FALSE(IsOpen(ends[0]));
    EXPECT_TRUE(IsOpen(ends[1])) << "released, so not closed";
    ::close(ends[1]);
    EXPECT_EQ(seam.closed.size(), 2u);
}

}  // namespace
}  // namespace vistrel
