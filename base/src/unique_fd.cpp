// SPDX-License-Identifier: MIT
#include "base/unique_fd.h"

#include <unistd.h>

namespace vistrel {

void UniqueFd::Reset(int fd) noexcept {
    const int old = std::exchange(fd_, fd);
    if (old < 0) {
        return;
    }
    // Linux releases the descriptor even when close reports EINTR, so it is
    // never retried: the number may already belong to someone else.
    if (closer_ != nullptr) {
        closer_->Close(old);
    } else {
        ::close(old);
    }
}

}  // namespace vistrel
