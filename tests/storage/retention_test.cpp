// SPDX-License-Identifier: MIT
#include "storage/retention.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

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
    // Ours, oldest first by the time in the name, whatever the modification time.
    Make("090102030405009.jpg", 100);
    Make("090102030405001-1.jpg", 300);
    Make("090102030405001.jpg", 400);
    Make("090102030405005.jpg", 200);
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
    EXPECT_FALSE(Names().contains("090102030405001.jpg"));
    EXPECT_FALSE(Names().contains("090102030405001-1.jpg"));

    // A file this run wrote after the clock was set back: its name is the
    // oldest, yet it goes after every file found at the start.
    Make("090102030405000.jpg", 500);
    retention.Added("090102030405000.jpg");
    available = 0;
    EXPECT_TRUE(retention.MakeRoom());
    EXPECT_EQ(Names().filter(QRegularExpression("^[0-9]{15}(-[0-9]+)?\\.jpg$")),
              (QStringList{"090102030405000.jpg", "090102030405006.jpg", "090102030405007.jpg"}));

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

TEST_F(RetentionTest, AFloorThatCanNeverBeMetIsRefusedBeforeAnythingIsDeleted) {
    Make("090102030405001.jpg", 100);
    TFrameWriter writer;
    writer.SetDirectory(dir_.path());
    writer.Retention().SetFreeSpace([](const std::string&) {
        return std::optional<TFreeSpace>({0, 1ull << 30});
    });
    const std::pair<const char*, const char*> refused[] = {
        {"91%",
         "The free-space floor of 91% is refused: a share above 90% of the file system "
         "can never be kept free"},
        {"1G",
         "The free-space floor of 1 GiB is refused: the file system of \"%1\" holds only "
         "1.0 GiB in all"},
    };
    for (const auto& [floor, message] : refused) {
        writer.SetKeepFree(*TKeepFree::Parse(floor));
        const std::optional<TWriteFault> fault = writer.Prepare();
        ASSERT_TRUE(fault) << floor;
        EXPECT_TRUE(fault->permanent);
        EXPECT_EQ(fault->message, QString::fromUtf8(message).replace("%1", dir_.path())) << floor;
    }
    writer.SetKeepFree(*TKeepFree::Parse("90%"));
    EXPECT_FALSE(writer.Prepare());
    EXPECT_EQ(Names(), QStringList{"090102030405001.jpg"});
}

TEST_F(RetentionTest, DayFoldersAreCoveredAndOnlyOursAreTouched) {
    // Found at the start: two days of ours, with things of others around.
    ASSERT_TRUE(QDir(dir_.path()).mkpath("2009-01-01"));
    ASSERT_TRUE(QDir(dir_.path()).mkpath("2009-01-02"));
    ASSERT_TRUE(QDir(dir_.path()).mkpath("2009-1-03"));  // not a day folder of ours
    ASSERT_TRUE(QDir(dir_.path()).mkpath("elsewhere/2009-01-04"));
    Make("2009-01-01/090101120000000.jpg", 1);
    Make("2009-01-02/090102120000000.jpg", 1);
    Make("2009-01-02/notes.txt", 1);
    Make("2009-1-03/090103120000000.jpg", 1);
    Make("elsewhere/2009-01-04/090104120000000.jpg", 1);
    Make("090101110000000.jpg", 1);
    // A day folder that is a link is never followed.
    ASSERT_TRUE(QFile::link(dir_.filePath("elsewhere/2009-01-04"), dir_.filePath("2009-01-04")));

    TFrameWriter writer;
    writer.SetDirectory(dir_.path());
    writer.SetDailyFolders(true);
    writer.SetLatest("latest.jpg");
    std::uint64_t available = 1ull << 30;
    writer.Retention().SetFreeSpace([&](const std::string&) {
        return std::optional<TFreeSpace>({available, 1ull << 31});
    });
    writer.SetKeepFree(*TKeepFree::Parse("1G"));
    ASSERT_FALSE(writer.Prepare());
    const std::vector<std::uint8_t> jpeg(10, 1);
    const std::optional<QString> path = writer.Write(
        "090105120000000", [&]() -> const auto& { return jpeg; });
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, dir_.path() + "/2009-01-05/090105120000000.jpg");
    EXPECT_EQ(std::filesystem::read_symlink(dir_.filePath("latest.jpg").toStdString()),
              "2009-01-05/090105120000000.jpg");

    // Oldest first across the folders, all but the latest link's target;
    // an emptied day folder goes, one still holding another file stays.
    available = 0;
    EXPECT_FALSE(writer.Write(
        "090105120000001", [&]() -> const auto& { return jpeg; }));
    QStringList left;
    QDirIterator it(dir_.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        left << QDir(dir_.path()).relativeFilePath(it.next());
    }
    left.sort();
    EXPECT_EQ(left,
              (QStringList{"2009-01-02", "2009-01-02/notes.txt", "2009-01-04", "2009-01-05",
                           "2009-01-05/090105120000000.jpg", "2009-1-03",
                           "2009-1-03/090103120000000.jpg", "elsewhere", "elsewhere/2009-01-04",
                           "elsewhere/2009-01-04/090104120000000.jpg", "latest.jpg"}));
}

TEST_F(RetentionTest, KeepDaysDeletesOnlyFilesWhoseNameIsOlderThanTheCut) {
    ASSERT_TRUE(QDir(dir_.path()).mkpath("2026-12-01"));
    Make("261201120000000.jpg", 1);             // 8 days before: goes
    Make("261202115959999-1.jpg", 1);           // just over 7 days: goes
    Make("261202120000001.jpg", 1);             // just under: stays
    Make("2026-12-01/261201000000000.jpg", 1);  // not with day folders off: stays
    Make("261209120000000.png", 1);
    TRetention retention;
    retention.SetDirectory(dir_.path().toStdString() + "/");
    EXPECT_EQ(retention.DeleteExpired(QDateTime(QDate(2026, 12, 9), QTime(12, 0))), 0u) << "off";
    retention.SetKeepDays(7);
    EXPECT_EQ(retention.DeleteExpired(QDateTime(QDate(2026, 12, 9), QTime(12, 0))), 2u);
    EXPECT_EQ(Names(), (QStringList{"2026-12-01", "261202120000001.jpg", "261209120000000.png"}));
    EXPECT_TRUE(QFileInfo::exists(dir_.filePath("2026-12-01/261201000000000.jpg")));
    for (const char* bad : {"-1", "7d", "36501", "x"}) {
        EXPECT_FALSE(ParseKeepDays(bad)) << bad;
    }
    EXPECT_EQ(KeepDaysSetting("many"), 0);
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
