// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vistrel {

// A free-space floor for the output directory's file system: a size in bytes
// or a share of the file system's size. Zero of both is off.
struct TKeepFree {
    std::uint64_t bytes = 0;
    double percent = 0;

    bool IsOff() const { return bytes == 0 && percent <= 0; }
    // The floor in bytes on a file system of this size.
    std::uint64_t FloorFor(std::uint64_t fileSystemBytes) const;

    // "500M", "2G", "64K" (powers of 1024), a plain number of bytes, or a
    // percentage such as "5%" or "0.5%" (at most 100). "0" is off.
    // nullopt for anything else.
    static std::optional<TKeepFree> Parse(const QString& text);
    // "500 MiB" or "5%", for messages.
    QString Text() const;
};

// The settings file's KeepFree text as a floor: off when empty, and off with
// a warning in the log when it does not parse.
TKeepFree KeepFreeSetting(const QString& text);

// What statvfs says about the directory's file system.
struct TFreeSpace {
    std::uint64_t available = 0;  // f_bavail * f_frsize: free for an ordinary user
    std::uint64_t total = 0;      // f_blocks * f_frsize
};
// Test seam; nullopt when the system cannot tell.
using FreeSpaceQuery = std::function<std::optional<TFreeSpace>(const std::string& directory)>;
std::optional<TFreeSpace> QueryFreeSpace(const std::string& directory);

// The pictures Vistrel has written to the output directory, oldest first, and
// the deleting of the oldest to keep a floor of free space.
//
// Only regular files named like ours (yymmddhhnnsszzz.jpg and
// yymmddhhnnsszzz-N.jpg) count; subfolders, symbolic links and every other
// name are never touched. The directory is read once, when the floor is
// first reached, and the index then follows the files written through Added;
// it is read again when it runs dry and after a failed write (Forget).
class TRetention {
public:
    TRetention();

    // True for the names Vistrel gives its pictures: ^[0-9]{15}(-[0-9]+)?\.jpg$.
    static bool IsOurName(std::string_view name);

    // A new directory or floor; the index is read again when needed.
    void SetDirectory(const std::string& directory);
    void SetFloor(const TKeepFree& floor) { floor_ = floor; }
    const TKeepFree& Floor() const { return floor_; }
    void SetFreeSpace(FreeSpaceQuery query) { freeSpace_ = std::move(query); }

    // Before a write: while the free space is below the floor, deletes our
    // oldest file. False when it is still below and nothing of ours is left
    // to delete. True at once with the floor off or the free space unknown.
    bool MakeRoom();
    // A file written by us, just now.
    void Added(const std::string& name);
    // Read the directory again next time.
    void Forget();

    std::size_t IndexedFiles() const { return index_.size(); }
    std::uint64_t Deleted() const { return deleted_; }

private:
    struct Entry {
        timespec modified;
        std::string name;
        bool operator<(const Entry& other) const;
    };

    void Scan();
    // Stats name in the directory; nullopt unless it is a regular file.
    std::optional<Entry> Stat(int dir, const std::string& name) const;
    // Deletes the oldest indexed file; its size, or 0 when it was not ours
    // to delete any more.
    std::uint64_t DeleteOldest();

    std::string directory_;
    TKeepFree floor_;
    FreeSpaceQuery freeSpace_;
    bool scanned_ = false;
    bool spaceUnknown_ = false;  // said so once already
    std::set<Entry> index_;
    std::uint64_t deleted_ = 0;
};

}  // namespace vistrel
