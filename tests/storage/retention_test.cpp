// SPDX-License-Identifier: MIT
#include "storage/retention.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "storage/frame_writer.h"

namespace vistrel {
namespace {

class RetentionTest : public ::testing::Test {
protected:
    // A file of 4 KiB whose modification time is the given second.
    void Make(const QString& name, int second) {
        QFile file(dir_.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << name.toStdString();
        file.write(QByteArray(4096, 'x'));
        file.close();
        const timespec times[2] = {{second, 0}, {second, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(dir_.filePath(name)).constData(), times,
                              AT_SYMLINK_NOFOLLOW),
                  0);
    }
    QStringList Names() const {
        return QDir(dir_.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                       QDir::Name);
    }

    QTemporaryDir dir_;
};

TEST(KeepFreeText, SizesAndShares) {
    const std::pair<const char*, std::uint64_t> sizes[] = {
        {"500M", 500ull << 20}, {"2G", 2ull << 30},   {"64k", 64ull << 10},
        {"1000", 1000},         {" 8G ", 8ull << 30}, {"0", 0},
    };
    for (const auto& [text, bytes] : sizes) {
        const std::optional<TKeepFree> floor = TKeepFree::Parse(text);
        ASSERT_TRUE(floor) << text;
        EXPECT_EQ(floor->bytes, bytes) << text;
    }
    const std::optional<TKeepFree> share = TKeepFree::Parse("5%");
    ASSERT_TRUE(share);
    EXPECT_EQ(share->FloorFor(1000), 50u);
    EXPECT_EQ(TKeepFree::Parse("0.5%")->FloorFor(1000), 5u);
    EXPECT_TRUE(TKeepFree::Parse("0%")->IsOff());
    EXPECT_EQ(TKeepFree::Parse("500M")->Text(), "500 MiB");
    for (const char* bad : {"", "M", "5T", "5MB", "-1G", "101%", "5 %", "1e3", ".5%", "x",
                            "20000000000G", "99999999999999999999"}) {
        EXPECT_FALSE(TKeepFree::Parse(bad)) << bad;
    }
    EXPECT_TRUE(KeepFreeSetting("lots").IsOff());
}

TEST_F(RetentionTest, DeletesOnlyOurOldestFilesUntilTheFloorIsMet) {
    // Ours, oldest first by time (not by name).
    Make("090102030405009.jpg", 100);
    Make("090102030405001-1.jpg", 200);
    Make("090102030405001.jpg", 200);
    Make("090102030405005.jpg", 300);
    // Never ours, however old: other names, look-alikes, a link and a folder.
    const QStringList others = {
        "notes.txt",          "090102030405002.jpeg", "0901020304050021.jpg", "090102030405003.JPG",
        "09010203040500.jpg", "090102030405004-.jpg", "x090102030405004.jpg"};
    for (const QString& name : others) {
        Make(name, 1);
    }
    ASSERT_TRUE(QFile::link(dir_.filePath("notes.txt"), dir_.filePath("090102030405006.jpg")));
    ASSERT_TRUE(QDir(dir_.path()).mkdir("090102030405007.jpg"));

    std::uint64_t available = 0;
    TRetention retention;
    retention.SetDirectory(dir_.path().toStdString());
    retention.SetFreeSpace([&](const std::string&) {
        return std::optional<TFreeSpace>({available, 1ull << 30});
    });
    retention.SetFloor(*TKeepFree::Parse("6K"));
    available = 6 << 10;
    EXPECT_TRUE(retention.MakeRoom());
    EXPECT_EQ(retention.Deleted(), 0u) << "enough is free";

    available = 0;  // two 4 KiB files make 6 KiB
    EXPECT_TRUE(retention.MakeRoom());
    EXPECT_EQ(retention.Deleted(), 2u);
    EXPECT_FALSE(Names().contains("090102030405009.jpg"));
    EXPECT_FALSE(Names().contains("090102030405001-1.jpg"));

    // A file written later is indexed and goes after the older ones.
    Make("090102030405008.jpg", 400);
    retention.Added("090102030405008.jpg");
    available = 0;
    EXPECT_TRUE(retention.MakeRoom());
    EXPECT_EQ(Names().filter(QRegularExpression("^[0-9]{15}(-[0-9]+)?\\.jpg$")),
              (QStringList{"090102030405006.jpg", "090102030405007.jpg", "090102030405008.jpg"}));

    // Nothing of ours left: the floor cannot be met, everything else stays.
    available = 0;
    EXPECT_FALSE(retention.MakeRoom());  // the last one goes, and it is not enough
    QStringList expected = others;
    expected << "090102030405006.jpg"
             << "090102030405007.jpg";
    expected.sort();
    EXPECT_EQ(Names(), expected);
    EXPECT_TRUE(QFileInfo(dir_.filePath("090102030405006.jpg")).isSymLink());
}

TEST_F(RetentionTest, AFloorThatCannotBeMetPausesWritingLikeAFullDisk) {
    TFrameWriter writer;
    writer.SetDirectory(dir_.path());
    writer.SetKeepFree(*TKeepFree::Parse("1G"));
    writer.Retention().SetFreeSpace([](const std::string&) {
        return std::optional<TFreeSpace>({1 << 20, 1ull << 40});
    });
    std::vector<TWriteFault> paused;
    writer.SetPaused([&](const TWriteFault& fault) { paused.push_back(fault); });
    const std::vector<std::uint8_t> jpeg(10, 1);
    EXPECT_FALSE(writer.Write(
        "090102030405006", [&]() -> const auto& { return jpeg; }));
    ASSERT_EQ(paused.size(), 1u);
    EXPECT_EQ(paused[0].errorNumber, ENOSPC);
    EXPECT_EQ(TFrameWriter::PauseLabel(paused[0]), "Paused: disk full");
    EXPECT_TRUE(Names().isEmpty());
}

TEST_F(RetentionTest, ADirectoryThatCanNeverBeMadeIsAFaultAtOnceNotAPause) {
    QFile(dir_.filePath("file")).open(QIODevice::WriteOnly);
    for (const auto& [name, errorNumber] :
         {std::pair{dir_.filePath("file/sub"), ENOTDIR},
          std::pair{dir_.filePath(QString(256, u'a')), ENAMETOOLONG}}) {
        TFrameWriter writer;
        int paused = 0;
        writer.SetPaused([&](const TWriteFault&) { ++paused; });
        writer.SetDirectory(name);
        const std::optional<TWriteFault> fault = writer.Prepare();
        ASSERT_TRUE(fault);
        EXPECT_TRUE(fault->permanent);
        EXPECT_EQ(fault->errorNumber, errorNumber);
        EXPECT_TRUE(fault->message.startsWith("Cannot create directory \"" + name + "\". "))
            << fault->message.toStdString();
        EXPECT_FALSE(writer.IsPaused());
        EXPECT_EQ(paused, 0);
    }
}

TEST_F(RetentionTest, PrepareMakesTheDirectoryAndRemovesOnlyStaleTemporaryFilesOfOurs) {
    // A process id that is surely gone: a child that has been waited for.
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const QString gone = QString::number(child);
    const QString alive = QString::number(::getpid());

    const QString out = dir_.filePath("new/out");
    TFrameWriter writer;
    writer.SetDirectory(out);
    EXPECT_FALSE(writer.Prepare());
    ASSERT_TRUE(QFileInfo(out).isDir());

    const QString stale = ".090102030405006.jpg." + gone + "-0.part";
    const QStringList kept = {
        ".090102030405006-1.jpg." + alive + "-3.part",  // ours, still running
        ".notes.txt." + gone + "-0.part",               // not a picture of ours
        ".0901020304050061.jpg." + gone + "-0.part",    // a look-alike
        "090102030405006.jpg." + gone + "-0.part",      // not hidden
        ".090102030405007.jpg." + gone + "-0",
    };
    const QStringList all = QStringList(kept) << stale;
    for (const QString& name : all) {
        QFile file(out + "/" + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(QDir(out).mkdir(".090102030405008.jpg." + gone + "-0.part"));
    EXPECT_FALSE(writer.Prepare());
    EXPECT_FALSE(QFileInfo::exists(out + "/" + stale));
    for (const QString& name : kept) {
        EXPECT_TRUE(QFileInfo::exists(out + "/" + name)) << name.toStdString();
    }
    EXPECT_TRUE(QFileInfo(out + "/.090102030405008.jpg." + gone + "-0.part").isDir());
    EXPECT_FALSE(writer.IsPaused());
}

}  // namespace
}  // namespace vistrel
