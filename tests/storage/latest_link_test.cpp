// SPDX-License-Identifier: MIT
#include "storage/latest_link.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "storage/frame_writer.h"

namespace vistrel {
namespace {

std::string Target(const QString& link) {
    std::error_code error;
    return std::filesystem::read_symlink(link.toStdString(), error).string();
}

TEST(LatestLink, StaysValidWhileABurstOfFilesIsPublished) {
    QTemporaryDir dir;
    TFrameWriter writer;
    writer.SetDirectory(dir.path());
    writer.SetLatest("latest.jpg");
    ASSERT_FALSE(writer.Prepare());
    const std::vector<std::uint8_t> jpeg(64, 7);
    ASSERT_TRUE(writer.Write(
        "261209120000000", [&]() -> const auto& { return jpeg; }));

    // A reader resolving the link all the while: it must always name a
    // whole, published picture, never be missing or point at a temporary file.
    const std::string link = dir.filePath("latest.jpg").toStdString();
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> failures{0};
    std::thread reader([&] {
        while (!done.load()) {
            struct stat info {};
            if (::stat(link.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
                info.st_size != static_cast<off_t>(jpeg.size())) {
                failures.fetch_add(1);
            }
            reads.fetch_add(1);
        }
    });
    std::optional<QString> last;
    for (int i = 1; i <= 100; ++i) {
        last = writer.Write(
            QString::asprintf("261209120000%03d", i % 1000), [&]() -> const auto& { return jpeg; });
        ASSERT_TRUE(last);
    }
    done.store(true);
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(Target(dir.filePath("latest.jpg")), "261209120000100.jpg");
    // No temporary link is left behind.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Hidden | QDir::System | QDir::Files).filter(".part"),
              QStringList());
}

// A worker may publish a file admitted before a reload moved the directory:
// it stays where it was begun, and the new directory's link never names it.
TEST(LatestLink, AFileBegunBeforeTheDirectoryChangedIsNotLinkedFromTheNewOne) {
    QTemporaryDir oldDir;
    QTemporaryDir newDir;
    TFrameWriter writer;
    writer.SetDirectory(oldDir.path());
    writer.SetLatest("latest.jpg");
    ASSERT_FALSE(writer.Prepare());
    const std::vector<std::uint8_t> jpeg(64, 7);
    const std::optional<TWriteTicket> ticket = writer.Admit();
    ASSERT_TRUE(ticket);
    TPreparedFile prepared = writer.PrepareFile(
        *ticket, "261209120000000", [&]() -> const auto& { return jpeg; });
    writer.SetDirectory(newDir.path());
    ASSERT_FALSE(writer.Prepare());
    const TWriteOutcome outcome = writer.PublishFile(std::move(prepared));
    ASSERT_TRUE(outcome.path);
    EXPECT_EQ(*outcome.path, oldDir.filePath("261209120000000.jpg"));
    EXPECT_EQ(Target(newDir.filePath("latest.jpg")), "");  // not even a dangling link
    ASSERT_TRUE(writer.Write(
        "261209120000001", [&]() -> const auto& { return jpeg; }));
    EXPECT_EQ(Target(newDir.filePath("latest.jpg")), "261209120000001.jpg");
}

TEST(LatestLink, ANameThatIsNotOurLinkIsLeftAlone) {
    QTemporaryDir dir;
    QFile(dir.filePath("file")).open(QIODevice::WriteOnly);
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder"));
    ASSERT_TRUE(QFile::link("/etc/hostname", dir.filePath("outside")));
    ASSERT_TRUE(QFile::link("notes.txt", dir.filePath("other")));
    ASSERT_TRUE(QFile::link("../261209120000000.jpg", dir.filePath("up")));
    for (const char* name : {"file", "folder", "outside", "other", "up"}) {
        const std::string before = Target(dir.filePath(name));
        TLatestLink latest;
        latest.SetDirectory(dir.path().toStdString() + "/");
        latest.SetName(name);
        latest.Prepare();
        EXPECT_FALSE(latest.Point("261209120000000.jpg")) << name;
        EXPECT_EQ(Target(dir.filePath(name)), before) << name;
    }
    EXPECT_TRUE(QFileInfo(dir.filePath("file")).isFile());
    EXPECT_TRUE(QFileInfo(dir.filePath("folder")).isDir());

    for (const char* bad : {"", "a/b", ".", "..", "261209120000000.jpg"}) {
        EXPECT_TRUE(TLatestLink::NameProblem(bad)) << bad;
    }
    EXPECT_FALSE(TLatestLink::NameProblem("latest.jpg"));
}

}  // namespace
}  // namespace vistrel
