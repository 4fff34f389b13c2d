// SPDX-License-Identifier: MIT
#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "capture/device_enum.h"
#include "logging.h"

namespace vistrel {

namespace fs = std::filesystem;

namespace {

// As the kernel allows when it follows links itself.
constexpr int kMaxLinkHops = 40;

// The folder a relative link target is taken from: the link's own folder,
// with links in it followed, so that "../../video0" climbs the real tree.
fs::path RealParent(const fs::path& link) {
    std::error_code error;
    fs::path parent = fs::canonical(link.parent_path(), error);
    return error ? link.parent_path() : parent;
}

}  // namespace

std::string ResolveDevicePath(const std::string& path) {
    if (path.empty() || path.front() != '/') {
        return {};
    }
    // Followed link by link rather than by realpath(3): the end of the chain
    // need not exist for the walk to name it.
    fs::path current(path);
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(current, error))) {
            break;
        }
        const fs::path target = fs::read_symlink(current, error);
        if (error) {
            qCInfo(lcCapture, "readlink %s: %s", current.c_str(), error.message().c_str());
            break;
        }
        current = (target.is_absolute() ? target : RealParent(current) / target).lexically_normal();
    }
    std::error_code error;
    const fs::path real = fs::canonical(current, error);
    return (error ? current.lexically_normal() : real).string();
}

std::string DeviceLinkTo(const std::string& node, const std::string& directory) {
    std::error_code error;
    std::vector<fs::path> links;
    for (fs::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        links.push_back(it->path());
    }
    // Stable across runs: the first link by name.
    std::sort(links.begin(), links.end());
    const auto found = std::find_if(links.begin(), links.end(), [&](const fs::path& link) {
        return ResolveDevicePath(link.string()) == node;
    });
    return found != links.end() ? found->string() : std::string();
}

}  // namespace vistrel
