// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "storage/file_errors.h"

namespace vistrel {

// Test seam: asked before each step of writing a file. A non-zero errno makes
// that step fail as if the system call had returned it; the steps before it
// have run for real, so a temporary file made by Create is there to clean up.
using FileFaultHook = std::function<int(FileStep step)>;

// Every file is first written under a hidden temporary name in the directory
// of its final name, ".<final name>.<process id>-<counter>.part", synced to
// disk with fdatasync and only then given its final name. So a final name
// always holds a whole file, also after a power cut, and a process killed
// during the write leaves at most its temporary file. On a failure the
// temporary file is removed; if even that fails, the error says so. Errors
// are EFCreateError, EFWriteError, EFSyncError or EFPublishError, after the
// step that failed.

// Whether a file's bytes are synced to disk before it gets its name. Without
// the sync a reader still never sees part of a file, but a power cut may
// leave the name on an empty one: for files rewritten every few seconds,
// where a sync would cost more than the file is worth.
enum class FileSync { Data, None };

// Writes bytes as path, replacing a file of that name. A symbolic link is
// written through and kept. A name that resolves to something other than a
// regular file (a device, a pipe) is written in place.
void ReplaceFile(const std::string& path, std::span<const std::uint8_t> bytes,
                 const FileFaultHook& fault = {}, FileSync sync = FileSync::Data);

// Writes bytes as a new file in directory and never replaces one: the name is
// stem + extension, or stem-1 + extension, stem-2 ... when that is taken,
// claimed atomically (renameat2 with RENAME_NOREPLACE, or link and unlink
// where the file system lacks it). Returns the name given, without the
// directory.
std::string PublishNewFile(const std::string& directory, const std::string& stem,
                           const std::string& extension, std::span<const std::uint8_t> bytes,
                           const FileFaultHook& fault = {});

// Test seam: the call that claims a name without replacing a file, in
// directory dir, as renameat2 with RENAME_NOREPLACE does; 0 or -1 with errno.
// One that fails with EINVAL acts as a file system without that flag, which
// makes PublishNewFile claim the name with link and unlink. nullptr puts the
// real call back. For the whole process: set it only in tests.
using RenameNoReplaceCall = int (*)(int dir, const char* from, const char* to);
void SetRenameNoReplace(RenameNoReplaceCall call);

// The first half of PublishNewFile: the bytes written and synced under a
// temporary name, not yet given a final one. So the slow steps can run on
// any thread while the names are given one at a time, in the order of the
// pictures. Dropped unpublished, the temporary file is removed.
class TSyncedFile {
public:
    class TTemp;
    explicit TSyncedFile(std::unique_ptr<TTemp> temp);
    TSyncedFile(TSyncedFile&&) noexcept;
    TSyncedFile& operator=(TSyncedFile&&) noexcept;
    ~TSyncedFile();

    // The second half: the first free name of stem + extension, stem-1 +
    // extension, ... as PublishNewFile gives. Call once.
    std::string PublishNew(const std::string& stem, const std::string& extension);

private:
    std::unique_ptr<TTemp> temp_;
};

// Creates, writes and syncs the temporary file for stem + extension in
// directory; the errors of PublishNewFile before its last step.
TSyncedFile WriteSyncedFile(const std::string& directory, const std::string& stem,
                            const std::string& extension, std::span<const std::uint8_t> bytes,
                            const FileFaultHook& fault = {});

// A temporary name taken apart: the final name it was meant for and the
// process that made it; nullopt for any other name.
struct TempFileName {
    std::string finalName;
    pid_t pid = 0;
};
std::optional<TempFileName> ParseTempFileName(std::string_view name);

}  // namespace vistrel
