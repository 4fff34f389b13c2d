// SPDX-License-Identifier: MIT
#pragma once

#include <QDateTime>
#include <QString>

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

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

// The day count of KeepDays and --keep-days: 0 (off) to kMaxKeepDays.
inline constexpr int kMaxKeepDays = 36500;
// "30" as a day count; nullopt for anything but digits in range.
std::optional<int> ParseKeepDays(const QString& text);
// The settings file's KeepDays text: off when empty, and off with a warning
// in the log when it is not a day count.
int KeepDaysSetting(const QString& text);

// The pictures Vistrel has written to the output directory, oldest first, and
// the deleting of the oldest to keep a floor of free space or to drop those
// older than a number of days.
//
// Only regular files named like ours (yymmddhhnnsszzz.jpg and
// yymmddhhnnsszzz-N.jpg) count, in the directory and, with day folders, in
// its folders named yyyy-mm-dd; every other name, symbolic links and other
// folders are never touched. A day folder emptied by a deletion is removed.
// Names are relative to the directory ("2026-12-09/261209101500123.jpg").
//
// Oldest first: the files this process wrote count as newer than every file
// found in the directory, in the order written; among the found ones the
// time in the name decides, never the modification time, which a clock set
// back would turn around. The directory is read once, when the floor is
// first reached, and the index then follows the files written through Added;
// it is read again when it runs dry, after a failed write (Forget) and for
// each sweep by age.
class TRetention {
public:
    // A floor above this share of the file system can never be met once our
    // pictures fill the rest, so it is refused.
    static constexpr double kMaxFloorPercent = 90;

    TRetention();

    // True for the names Vistrel gives its pictures: ^[0-9]{15}(-[0-9]+)?\.jpg$.
    static bool IsOurName(std::string_view name);
    // True for the names of its day folders: ^[0-9]{4}-[0-9]{2}-[0-9]{2}$.
    static bool IsDayFolderName(std::string_view name);

    // A new directory or floor; the index is read again when needed.
    void SetDirectory(const std::string& directory);
    void SetFloor(const TKeepFree& floor) { floor_ = floor; }
    const TKeepFree& Floor() const { return floor_; }
    // Whether our day folders are looked into too.
    void SetDayFolders(bool on);
    // Files whose name's time is more than days old go in DeleteExpired; 0 is off.
    void SetKeepDays(int days) { keepDays_ = days; }
    int KeepDays() const { return keepDays_; }
    void SetFreeSpace(FreeSpaceQuery query) { freeSpace_ = std::move(query); }

    // Why the floor can never be met on the directory's file system (a share
    // above kMaxFloorPercent, or a size at or above the file system's), as
    // a message; nullopt when it can, when it is off or when the size of the
    // file system is unknown.
    std::optional<QString> UnreachableFloor() const;

    // Before a write: while the free space is below the floor, deletes our
    // oldest file. False when it is still below and nothing of ours is left
    // to delete, or at once when the floor can never be met. True at once with the floor off or the
    // free space unknown.
    bool MakeRoom();
    // A file written by us, just now: name relative to the directory.
    void Added(const std::string& name);
    // Read the directory again next time.
    void Forget();
    // A file that is never deleted (the latest link's target); empty: none.
    void Keep(std::string name) { kept_ = std::move(name); }

    // Reads the directory afresh and deletes our files whose name's time is
    // more than KeepDays before now (local time). Returns how many.
    std::size_t DeleteExpired(const QDateTime& now);

    std::size_t IndexedFiles() const { return index_.size(); }
    std::uint64_t Deleted() const { return deleted_; }

private:
    struct Entry {
        std::uint64_t order = 0;  // 0: found in the directory; n: our n-th file
        std::uint64_t stamp = 0;  // the name's 15 digits: yymmddhhnnsszzz
        std::uint64_t suffix = 0;
        std::string name;
        bool operator<(const Entry& other) const;
    };
    using Index = std::set<Entry>;

    bool NeverMet(std::uint64_t fileSystemBytes) const;
    bool Tracking() const { return !floor_.IsOff() || keepDays_ > 0; }
    Entry MakeEntry(std::string name) const;
    void Scan();
    void ScanFolder(int dir, const std::string& folder);
    Index::iterator Oldest();
    // Deletes the file; its size, or 0 when it was not ours to delete any
    // more. why: the reason given in the log.
    std::uint64_t Delete(const std::string& name, const QString& why);

    std::string directory_;
    TKeepFree floor_;
    int keepDays_ = 0;
    bool dayFolders_ = false;
    FreeSpaceQuery freeSpace_;
    bool scanned_ = false;
    bool spaceUnknown_ = false;  // said so once already
    Index index_;
    // The files this process wrote, with their place in the order.
    std::unordered_map<std::string, std::uint64_t> written_;
    std::uint64_t nextOrder_ = 1;
    std::string kept_;
    std::uint64_t deleted_ = 0;
};

}  // namespace vistrel
