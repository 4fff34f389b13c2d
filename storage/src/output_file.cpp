// SPDX-License-Identifier: MIT
#include "storage/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>  // renameat2

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <utility>

#include "base/unique_fd.h"
#include "logging.h"

namespace vistrel {

namespace {

constexpr std::string_view kTempSuffix = ".part";
// How far PublishNewFile counts before it gives up on a stem.
constexpr int kMaxSuffix = 9999;

std::atomic<unsigned> tempCounter{0};

int RealRenameNoReplace(int dir, const char* from, const char* to) {
    return ::renameat2(dir, from, dir, to, RENAME_NOREPLACE);
}

std::atomic<RenameNoReplaceCall> renameNoReplace{RealRenameNoReplace};

std::string Join(const std::string& directory, const std::string& name) {
    return directory.empty() || directory.back() == '/' ? directory + name : directory + "/" + name;
}

// A temporary file beside its final name, in a directory held open so that
// every call names the same directory. Removed on failure and when dropped
// unpublished.
class TempFile {
public:
    // shown: the name errors report, the one the caller knows.
    TempFile(std::string directory, const std::string& finalName, std::string shown,
             FileFaultHook fault)
        : directory_(std::move(directory)), shown_(std::move(shown)), fault_(std::move(fault)) {
        if (const int error = Fault(FileStep::Create)) {
            Fail<EFCreateError>("open", Join(directory_, finalName), error);
        }
        const int dir = ::open(directory_.empty() ? "." : directory_.c_str(),
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) {
            const int openError = errno;
            Fail<EFCreateError>("open", directory_, openError);
        }
        dir_.Reset(dir);
        int error = EEXIST;
        for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
            // A leading dot keeps the partial file out of "*.jpg" listings.
            name_ = "." + finalName + "." + std::to_string(::getpid()) + "-" +
                    std::to_string(tempCounter.fetch_add(1)) + std::string(kTempSuffix);
            const int fd =
                ::openat(dir_.Get(), name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                fd_.Reset(fd);
                return;
            }
            error = errno;
        }
        const std::string last = Join(directory_, std::exchange(name_, std::string()));
        Fail<EFCreateError>("open", last, error);
    }

    ~TempFile() {
        fd_.Reset();
        if (!name_.empty()) {
            ::unlinkat(dir_.Get(), name_.c_str(), 0);
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    void Write(std::span<const std::uint8_t> bytes) {
        if (const int error = Fault(FileStep::Write)) {
            Fail<EFWriteError>("write", Path(), error);
        }
        // One write in the normal case; a short write (signal, full disk)
        // continues until the system says why it cannot.
        const std::uint8_t* data = bytes.data();
        std::size_t size = bytes.size();
        while (size > 0) {
            const ssize_t written = ::write(fd_.Get(), data, size);
            if (written < 0) {
                const int error = errno;
                if (error == EINTR) {
                    continue;
                }
                Fail<EFWriteError>("write", Path(), error);
            }
            data += written;
            size -= static_cast<std::size_t>(written);
        }
    }

    // The bytes reach the disk before the file gets its name, so a power cut
    // cannot leave a final name on a file with missing data.
    void Sync(FileSync sync = FileSync::Data) {
        if (const int error = Fault(FileStep::Sync)) {
            Fail<EFSyncError>("fdatasync", Path(), error);
        }
        if (sync == FileSync::Data && ::fdatasync(fd_.Get()) != 0) {
            const int error = errno;
            Fail<EFSyncError>("fdatasync", Path(), error);
        }
        // Closed here, not by the owner: a failing close (a network file
        // system's deferred write) means the file is not whole.
        if (::close(fd_.Release()) != 0) {
            const int error = errno;
            if (error != EINTR) {
                Fail<EFSyncError>("close", Path(), error);
            }
        }
    }

    // Renames over finalName, whatever is there.
    void Replace(const std::string& finalName) {
        if (const int error = Fault(FileStep::Publish)) {
            Fail<EFPublishError>("rename", Path(), error);
        }
        if (::renameat(dir_.Get(), name_.c_str(), dir_.Get(), finalName.c_str()) != 0) {
            const int error = errno;
            Fail<EFPublishError>("rename", Path() + " -> " + finalName, error);
        }
        name_.clear();
    }

    // The first free name of stem + extension, stem-1 + extension, ...
    std::string PublishNew(const std::string& stem, const std::string& extension) {
        shown_ = Join(directory_, stem + extension);
        if (const int error = Fault(FileStep::Publish)) {
            Fail<EFPublishError>("renameat2", Path(), error);
        }
        for (int suffix = 0; suffix <= kMaxSuffix; ++suffix) {
            const std::string name =
                suffix == 0 ? stem + extension : stem + "-" + std::to_string(suffix) + extension;
            const char* call = "renameat2";
            const int error = Claim(name, call);
            if (error == 0) {
                name_.clear();
                return name;
            }
            if (error != EEXIST) {
                shown_ = Join(directory_, name);
                Fail<EFPublishError>(call, Path() + " -> " + name, error);
            }
        }
        Fail<EFPublishError>("renameat2", Path(), EEXIST);
    }

private:
    int Fault(FileStep step) const { return fault_ ? fault_(step) : 0; }
    std::string Path() const { return Join(directory_, name_); }

    // Gives the temporary file the name unless it is taken: 0, or the errno
    // of the failed call, which is named in call.
    int Claim(const std::string& name, const char*& call) {
        if (renameNoReplace.load()(dir_.Get(), name_.c_str(), name.c_str()) == 0) {
            return 0;
        }
        const int error = errno;
        if (error != EINVAL && error != ENOSYS && error != EOPNOTSUPP) {
            return error;
        }
        // The file system cannot rename without replacing; a hard link
        // claims the name just as atomically, then the temporary name goes.
        call = "link";
        if (::linkat(dir_.Get(), name_.c_str(), dir_.Get(), name.c_str(), 0) != 0) {
            return errno;
        }
        if (::unlinkat(dir_.Get(), name_.c_str(), 0) != 0) {
            const int unlinkError = errno;
            // The picture is whole under its name; the second name is removed
            // by the next start (its process is gone by then).
            qCWarning(lcStorage, "unlink %s: %s", Path().c_str(), ErrnoText(unlinkError).c_str());
        }
        return 0;
    }

    // Logs the failed call with its errno, removes the temporary file, then
    // raises Error about the name the caller knows.
    template <typename Error>
    [[noreturn]] void Fail(const char* call, const std::string& file, int errorNumber) {
        qCInfo(lcStorage, "%s %s: %s", call, file.c_str(), ErrnoText(errorNumber).c_str());
        fd_.Reset();
        std::string note;
        const int unlinkError =
            name_.empty() || ::unlinkat(dir_.Get(), name_.c_str(), 0) == 0 ? 0 : errno;
        if (unlinkError != 0 && unlinkError != ENOENT) {
            qCWarning(lcStorage, "unlink %s: %s", Path().c_str(), ErrnoText(unlinkError).c_str());
            note = "Cannot remove the temporary file \"" + AbsolutePath(Path()) + "\". " +
                   SystemErrorText(unlinkError);
        }
        name_.clear();
        throw Error(shown_, errorNumber, note);
    }

    std::string directory_;
    std::string shown_;
    // A copy: a file written on one thread may be published later by another.
    const FileFaultHook fault_;
    UniqueFd dir_;
    UniqueFd fd_;
    std::string name_;  // the temporary file's name in directory_, while it exists
};

template <typename Error>
[[noreturn]] void FailInPlace(const char* call, const std::string& path, int errorNumber) {
    qCInfo(lcStorage, "%s %s: %s", call, path.c_str(), ErrnoText(errorNumber).c_str());
    throw Error(path, errorNumber);
}

// Devices and pipes are written as they are: renaming over one would
// replace the node itself, and they cannot be synced.
void WriteInPlace(const std::string& path, std::span<const std::uint8_t> bytes,
                  const FileFaultHook& fault) {
    if (const int error = fault ? fault(FileStep::Create) : 0) {
        FailInPlace<EFCreateError>("open", path, error);
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        FailInPlace<EFCreateError>("open", path, error);
    }
    const UniqueFd file(fd);
    if (const int error = fault ? fault(FileStep::Write) : 0) {
        FailInPlace<EFWriteError>("write", path, error);
    }
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        const int error = written < 0 ? errno : 0;
        if (error != 0 && error != EINTR) {
            FailInPlace<EFWriteError>("write", path, error);
        }
        done += written > 0 ? static_cast<std::size_t>(written) : 0;
    }
}

}  // namespace

void ReplaceFile(const std::string& path, std::span<const std::uint8_t> bytes,
                 const FileFaultHook& fault, FileSync sync) {
    std::string final = path;
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        final = resolved;  // write through a symbolic link, keep the link
        std::free(resolved);
        struct stat info {};
        if (::stat(final.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
            WriteInPlace(path, bytes, fault);
            return;
        }
    }
    const std::string::size_type slash = final.rfind('/');
    const std::string directory =
        slash == std::string::npos ? std::string() : final.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? final : final.substr(slash + 1);
    TempFile file(directory, name, path, fault);
    file.Write(bytes);
    file.Sync(sync);
    file.Replace(name);
}

class TSyncedFile::TTemp : public TempFile {
public:
    using TempFile::TempFile;
};

TSyncedFile::TSyncedFile(std::unique_ptr<TTemp> temp) : temp_(std::move(temp)) {}
TSyncedFile::TSyncedFile(TSyncedFile&&) noexcept = default;
TSyncedFile& TSyncedFile::operator=(TSyncedFile&&) noexcept = default;
TSyncedFile::~TSyncedFile() = default;

std::string TSyncedFile::PublishNew(const std::string& stem, const std::string& extension) {
    std::string name = temp_->PublishNew(stem, extension);
    temp_.reset();
    return name;
}

TSyncedFile WriteSyncedFile(const std::string& directory, const std::string& stem,
                            const std::string& extension, std::span<const std::uint8_t> bytes,
                            const FileFaultHook& fault) {
    auto file = std::make_unique<TSyncedFile::TTemp>(directory, stem + extension,
                                                     Join(directory, stem + extension), fault);
    file->Write(bytes);
    file->Sync();
    return TSyncedFile(std::move(file));
}

std::string PublishNewFile(const std::string& directory, const std::string& stem,
                           const std::string& extension, std::span<const std::uint8_t> bytes,
                           const FileFaultHook& fault) {
    return WriteSyncedFile(directory, stem, extension, bytes, fault).PublishNew(stem, extension);
}

void SetRenameNoReplace(RenameNoReplaceCall call) {
    renameNoReplace.store(call != nullptr ? call : RealRenameNoReplace);
}

std::optional<TempFileName> ParseTempFileName(std::string_view name) {
    // ".<final name>.<pid>-<counter>.part"
    if (name.size() < 2 || name.front() != '.' || !name.ends_with(kTempSuffix)) {
        return std::nullopt;
    }
    name.remove_suffix(kTempSuffix.size());
    const std::string_view::size_type dot = name.rfind('.');
    if (dot == std::string_view::npos || dot < 2) {
        return std::nullopt;
    }
    const std::string_view numbers = name.substr(dot + 1);
    const std::string_view::size_type dash = numbers.find('-');
    const auto isNumber = [](std::string_view text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (dash == std::string_view::npos || !isNumber(numbers.substr(0, dash)) ||
        !isNumber(numbers.substr(dash + 1))) {
        return std::nullopt;
    }
    TempFileName parsed;
    const auto [end, error] = std::from_chars(numbers.data(), numbers.data() + dash, parsed.pid);
    if (error != std::errc() || parsed.pid <= 0) {
        return std::nullopt;
    }
    parsed.finalName = std::string(name.substr(1, dot - 1));
    return parsed;
}

}  // namespace vistrel
