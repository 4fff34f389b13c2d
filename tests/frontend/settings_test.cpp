// SPDX-License-Identifier: MIT
#include "frontend/settings.h"
#include "frontend/picture_setting.h"
#include "storage/latest_link.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace vistrel {
namespace {

class SettingsTest : public ::testing::Test {
protected:
    QString Ini() const { return dir_.filePath("Vistrel.ini"); }
    void Store(const QByteArray& text) {
        QFile file(Ini());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    QByteArray Stored() const {
        QFile file(Ini());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QTemporaryDir dir_;
};

TEST(IniValues, IntegerTextRules) {
    struct Case {
        const char* text;
        bool ok;
        int value;
    };
    const Case cases[] = {
        {"42", true, 42},
        {"  -7", true, -7},
        {"+8", true, 8},
        {"0x5A", true, 90},
        {"0X5a", true, 90},
        {"$1F", true, 31},
        {"x10", true, 16},
        {"-$10", true, -16},
        {"$FFFFFFFF", true, -1},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"2147483648", false, 0},
        {"abc", false, 0},
        {"", false, 0},
        {"12abc", false, 0},
        {"0x", false, 0},
        {"7 ", false, 0},
        {"True", false, 0},
        {"$", false, 0},
        {"-", false, 0},
    };
    for (const Case& c : cases) {
        int value = 12345;
        EXPECT_EQ(TIniFile::ParseInteger(QString::fromLatin1(c.text), value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST_F(SettingsTest, MissingFileGivesTheDefaults) {
    const TSettings s = TSettings::Load(Ini(), "/pictures/Vistrel/");
    EXPECT_EQ(s.Cam, 0);
    EXPECT_EQ(s.JPEGQuality, 70);
    EXPECT_EQ(s.SkippedFrames, 3);
    EXPECT_EQ(s.Directory, "/pictures/Vistrel/");
    EXPECT_TRUE(s.Logging);
}

TEST_F(SettingsTest, StoredValuesAreReadByTheValueRules) {
    Store(
        "[other]\nJPEGQuality=99\n[SETTINGS]\n cam = 2\nJPEGQuality=0x5A\nSkippedFrames=abc\n"
        "Directory=/data/cam one/\nLogging=0\n");
    TSettings s = TSettings::Load(Ini(), "/d/");
    EXPECT_EQ(s.Cam, 2);
    EXPECT_EQ(s.JPEGQuality, 90);
    EXPECT_EQ(s.SkippedFrames, 3);
    EXPECT_EQ(s.Directory, "/data/cam one/");
    EXPECT_FALSE(s.Logging);

    struct Case {
        QByteArray quality, skipped, logging;
        int wantQuality, wantSkipped;
        bool wantLogging;
    };
    const Case cases[] = {
        {"30", "120", "True", 50, 100, true},
        {"120", "-5", "5", 100, 0, true},
        {"abc", "65537", "-1", 70, 1, true},               // the spinner keeps 16 bits
        {"99999999999", "2147483648", "0", 70, 3, false},  // past 32 bits: the defaults
        {"2147483647", "2147483647", "0x7FFFFFFF", 100, 0, true},
    };
    for (const Case& c : cases) {
        Store("[Settings]\nJPEGQuality=" + c.quality + "\nSkippedFrames=" + c.skipped +
              "\nLogging=" + c.logging + "\n");
        s = TSettings::Load(Ini(), "/d/");
        EXPECT_EQ(s.JPEGQuality, c.wantQuality) << c.quality.constData();
        EXPECT_EQ(s.SkippedFrames, c.wantSkipped) << c.skipped.constData();
        EXPECT_EQ(s.Logging, c.wantLogging) << c.logging.constData();
    }

    Store("[Settings]\nDirectory=\n");
    EXPECT_EQ(TSettings::Load(Ini(), "/d/").Directory, "");

    // The camera index is brought into a range where "index + 1" cannot
    // overflow; both ends still select no camera.
    for (const auto& [cam, want] : {std::pair{"2147483647", TSettings::kMaxCam},
                                    {"-2147483648", -1},
                                    {"$FFFFFFFF", -1},
                                    {"7", 7}}) {
        Store(QByteArray("[Settings]\nCam=") + cam + "\n");
        EXPECT_EQ(TSettings::Load(Ini(), "/d/").Cam, want) << cam;
    }
}

// What a reload refuses, where Load would quietly bring the value in range.
TEST_F(SettingsTest, ProblemNamesTheFirstValueOutOfRange) {
    EXPECT_EQ(TSettings::Problem(Ini()), Ini() + " is not there");
    Store("[Settings]\nCam=2\nJPEGQuality=90\nSkippedFrames=0\nKeepFree=5%\nInterval=1min\n");
    EXPECT_EQ(TSettings::Problem(Ini()), "");
    for (const auto& [text, want] :
         {std::pair{"JPEGQuality=30", "JPEGQuality=30 is not a number from 50 to 100"},
          {"SkippedFrames=abc", "SkippedFrames=abc is not a number from 0 to 100"},
          {"KeepFree=lots", "KeepFree=lots is not a size such as 500M, 2G or 5%"},
          {"WarmUp=soon", "WarmUp=soon: "},
          {"Hours=later", "Hours=later: "}}) {
        Store(QByteArray("[Settings]\nCam=1\n") + text + "\n");
        EXPECT_TRUE(TSettings::Problem(Ini()).startsWith(want)) << text;
    }
}

TEST_F(SettingsTest, SaveWritesFiveKeysInOrderAndKeepsTheRest) {
    TSettings s;
    s.Directory = "/home/u/Pictures/Vistrel/";
    s.Save(Ini());
    EXPECT_EQ(
        Stored(),
        "[Settings]\nCam=0\nJPEGQuality=70\nSkippedFrames=3\nDirectory=/home/u/Pictures/Vistrel/\n"
        "Logging=1\n");

    // A KeepFree set by hand is read and kept as it is; Save never adds one.
    EXPECT_EQ(TSettings::Load(Ini(), "/d/").KeepFree, "");
    Store(
        "; mine\n[Window]\nLeft=10\n\n[settings]\nLOGGING=1\nKeepFree=500M\nExtra=keep\n\n"
        "[Tail]\nx=1\n");
    s.Cam = 4;
    s.Logging = false;
    s.Save(Ini());
    EXPECT_EQ(Stored().toStdString(),
              "; mine\n[Window]\nLeft=10\n\n[settings]\nLOGGING=0\nKeepFree=500M\nExtra=keep\n"
              "Cam=4\nJPEGQuality=70\nSkippedFrames=3\nDirectory=/home/u/Pictures/Vistrel/\n\n"
              "[Tail]\nx=1\n");
    const TSettings back = TSettings::Load(Ini(), "/d/");
    EXPECT_EQ(back.Cam, 4);
    EXPECT_FALSE(back.Logging);
    EXPECT_EQ(back.KeepFree, "500M");
}

TEST_F(SettingsTest, ChosenFormatIsSavedAfterTheFiveKeysOnlyOnceChosen) {
    TSettings s;
    s.Directory = "/d/";
    s.Save(Ini());
    EXPECT_EQ(TSettings::Load(Ini(), "/d/").Format, "");  // never chosen: no keys
    s.Format = "MJPG";
    s.Size = "1280x720";
    s.Save(Ini());
    EXPECT_EQ(Stored(),
              "[Settings]\nCam=0\nJPEGQuality=70\nSkippedFrames=3\nDirectory=/d/\nLogging=1\n"
              "Format=MJPG\nSize=1280x720\n");
    const TSettings back = TSettings::Load(Ini(), "/d/");
    EXPECT_EQ(back.Format, "MJPG");
    EXPECT_EQ(back.Size, "1280x720");
}

TEST_F(SettingsTest, LaterKeysAreSavedLastOnlyOnceSet) {
    TSettings s;
    s.Directory = "/d/";
    s.Save(Ini());
    const QByteArray unset = Stored();
    EXPECT_FALSE(unset.contains("Interval") || unset.contains("WarmUp") ||
                 unset.contains("Hours") || unset.contains("Daylight") ||
                 unset.contains("Controls"));
    EXPECT_FALSE(TSettings::Load(Ini(), "/d/").Controls);
    s.Interval = "1 min";
    s.WarmUp = "2 s";
    s.Hours = "06:00-22:00";
    s.Daylight = "52.52,13.4,30";
    s.Controls = "exposure_auto=1,exposure_time_absolute=300";
    s.Save(Ini());
    EXPECT_EQ(Stored(), unset +
                            "Interval=1 min\nWarmUp=2 s\nHours=06:00-22:00\n"
                            "Daylight=52.52,13.4,30\n"
                            "Controls=exposure_auto=1,exposure_time_absolute=300\n");
    TSettings back = TSettings::Load(Ini(), "/d/");
    EXPECT_EQ(back.Interval, "1 min");
    EXPECT_EQ(back.WarmUp, "2 s");
    EXPECT_EQ(back.Hours, "06:00-22:00");
    EXPECT_EQ(back.Daylight, "52.52,13.4,30");
    EXPECT_EQ(back.Controls, "exposure_auto=1,exposure_time_absolute=300");
    // Every control reset: the key stays, empty, so the old list is not read back.
    back.Controls = "";
    back.Save(Ini());
    EXPECT_EQ(TSettings::Load(Ini(), "/d/").Controls, "");
}

// Timestamp, Title and Passthrough come after every other key, only once
// set; bad values fall back (a bad format to the default one) and a stamp
// keeps passthrough off.
TEST_F(SettingsTest, PictureKeysAreSavedLastAndBadValuesFallBack) {
    TSettings s;
    s.Directory = "/d/";
    s.Interval = "1 min";
    s.Save(Ini());
    const QByteArray unset = Stored();
    s.Timestamp = "%H:%M:%S.%f";
    s.Title = "Door";
    s.Save(Ini());
    EXPECT_EQ(Stored(), unset + "Timestamp=%H:%M:%S.%f\nTitle=Door\n");
    TPictureSetting picture = PictureSetting(TSettings::Load(Ini(), "/d/"));
    EXPECT_TRUE(picture.stamp.time);
    EXPECT_EQ(picture.stamp.format, "%H:%M:%S.%f");
    EXPECT_EQ(picture.stamp.title, "Door");

    const struct {
        const char* timestamp;
        const char* passthrough;
        bool time;
        const char* format;
        bool passes;
    } cases[] = {
        {"", "1", false, "%Y-%m-%d %H:%M:%S", true},
        {"1", "", true, "%Y-%m-%d %H:%M:%S", false},
        {"0", "yes", false, "%Y-%m-%d %H:%M:%S", false},
        {"%Q", "0", true, "%Y-%m-%d %H:%M:%S", false},
        {"%H", "1", true, "%H", false},  // the stamp wins
    };
    for (const auto& c : cases) {
        TSettings keys;
        keys.Timestamp = c.timestamp;
        keys.Passthrough = c.passthrough;
        picture = PictureSetting(keys);
        EXPECT_EQ(picture.stamp.time, c.time) << c.timestamp;
        EXPECT_EQ(picture.stamp.format, c.format) << c.timestamp;
        EXPECT_EQ(picture.passthrough, c.passes) << c.timestamp << " " << c.passthrough;
    }
}

// Latest, DailyFolders and KeepDays come last too, only once set.
TEST_F(SettingsTest, FileKeysAreSavedLastOnlyOnceSet) {
    TSettings s;
    s.Directory = "/d/";
    s.Save(Ini());
    const QByteArray unset = Stored();
    EXPECT_FALSE(unset.contains("Latest") || unset.contains("DailyFolders") ||
                 unset.contains("KeepDays"));
    s.Interval = "1 min";
    s.WarmUp = "2 s";
    s.KeepDays = "30";
    s.Save(Ini());
    EXPECT_EQ(Stored(), unset + "Interval=1 min\nWarmUp=2 s\nKeepDays=30\n");
    s.Latest = "latest.jpg";
    s.DailyFolders = "1";
    s.Save(Ini());
    EXPECT_EQ(Stored(), unset +
                            "Interval=1 min\nWarmUp=2 s\nKeepDays=30\nLatest=latest.jpg\n"
                            "DailyFolders=1\n");
    const TSettings back = TSettings::Load(Ini(), "/d/");
    EXPECT_EQ(back.Interval, "1 min");
    EXPECT_EQ(back.WarmUp, "2 s");
    EXPECT_EQ(back.Latest, "latest.jpg");
    EXPECT_TRUE(DailyFoldersSetting(back.DailyFolders));
    EXPECT_EQ(back.KeepDays, "30");
    EXPECT_FALSE(DailyFoldersSetting("yes"));  // warns, and is ignored
    EXPECT_EQ(LatestSetting("a/b"), "");
}

TEST_F(SettingsTest, ThreadsKeyIsSavedAfterTheOthersOnlyOnceSet) {
    TSettings s;
    s.Directory = "/d/";
    s.WarmUp = "2 s";
    s.Save(Ini());
    const QByteArray unset = Stored();
    EXPECT_FALSE(unset.contains("Threads"));
    s.Threads = 2;
    s.Save(Ini());
    EXPECT_EQ(Stored(), unset + "Threads=2\n");
    EXPECT_EQ(TSettings::Load(Ini(), "/d/").Threads, 2);
    Store("[Settings]\nThreads=-3\n");
    EXPECT_EQ(TSettings::Load(Ini(), "/d/").Threads, 0);  // below the range: the default
}

TEST_F(SettingsTest, SaveRewritesOnlyTheLinesItChangesInOneWrite) {
    // Latin-1 in another section, stray bytes, CRLF breaks, values spelled
    // otherwise than they would be written, no break at the end.
    const QByteArray other = QByteArray("[User]\r\nName=M\xfcller\r\n\x01\xff\xfe=\x80\r\n");
    Store(other + "[Settings]\r\n cam = 2\r\nJPEGQuality=0x5A\r\nLogging=5\r\nNote=\xe9t\xe9");
    TSettings s = TSettings::Load(Ini(), "/d/");
    s.Save(Ini());
    EXPECT_EQ(Stored(), other +
                            "[Settings]\r\n cam = 2\r\nJPEGQuality=0x5A\r\nLogging=5\r\n"
                            "Note=\xe9t\xe9\r\nSkippedFrames=3\r\nDirectory=/d/\r\n");

    // Values the file has already: nothing is written at all.
    const QFileInfo before(Ini());
    s.Save(Ini());
    EXPECT_EQ(QFileInfo(Ini()).fileTime(QFileDevice::FileModificationTime),
              before.fileTime(QFileDevice::FileModificationTime));

    // Writes change the text held; the file changes once, at Flush.
    s.Cam = 3;
    TIniFile ini(Ini());
    ini.WriteInteger("Settings", "Cam", 3);
    ini.WriteString("Settings", "Directory", "/e/");
    EXPECT_EQ(ini.ReadInteger("settings", "CAM", 0), 3);
    EXPECT_EQ(Stored().count("cam = 2"), 1);
    ini.Flush();
    EXPECT_EQ(Stored(), other +
                            "[Settings]\r\ncam=3\r\nJPEGQuality=0x5A\r\nLogging=5\r\n"
                            "Note=\xe9t\xe9\r\nSkippedFrames=3\r\nDirectory=/e/\r\n");
    EXPECT_THROW(ini.WriteString("Settings", "Directory", "/a\nCam=1"), EIniFileException);
}

TEST_F(SettingsTest, FailedWriteRaisesAndLeavesTheFileWhole) {
    // A path under a regular file cannot be written, even by root.
    Store("[Settings]\nCam=1\n");
    const QString blocked = dir_.filePath("file/Vistrel.ini");  // "file" is not a directory
    QFile(dir_.filePath("file")).open(QIODevice::WriteOnly);
    try {
        TSettings().Save(blocked);
        FAIL() << "no error";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(QString(e.what()), "Unable to write to " + blocked + ". Not a directory.");
    }
    // A save into a directory that does not exist yet creates it.
    const QString fresh = dir_.filePath("config/deeper/Vistrel.ini");
    TSettings().Save(fresh);
    EXPECT_EQ(TSettings::Load(fresh, "/d/").JPEGQuality, 70);
    EXPECT_EQ(Stored(), "[Settings]\nCam=1\n");
}

// Not a regular file of at most 1 MiB: not read (and never blocking on a FIFO
// nor reading /dev/zero for ever), the defaults apply, and it is not replaced.
TEST_F(SettingsTest, OnlyASmallRegularFileIsRead) {
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir_.filePath("fifo")).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link("/dev/zero", dir_.filePath("zero")));
    QFile big(dir_.filePath("big"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    big.write("[Settings]\nCam=4\n");
    ASSERT_TRUE(big.resize((1 << 20) + 1));
    big.close();
    for (const char* name : {"fifo", "zero", "big", ""}) {  // "": the directory itself
        const QString path = dir_.filePath(QString::fromLatin1(name));
        const TSettings settings = TSettings::Load(path, "/d/");
        EXPECT_EQ(settings.Cam, 0) << name;
        EXPECT_EQ(settings.Directory, "/d/") << name;
        try {
            settings.Save(path);
            ADD_FAILURE() << name << ": saved";
        } catch (const EIniFileException& e) {
            EXPECT_TRUE(
                QString(e.what()).startsWith("Unable to write to " + path + ". It was not read ("))
                << e.what();
        }
    }
    EXPECT_EQ(QFileInfo(dir_.filePath("zero")).symLinkTarget(), "/dev/zero");
}

TEST(SettingsNames, FileNameDirectoryAndShortLabel) {
    const QByteArray oldXdg = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "/cfg");
    EXPECT_EQ(TSettings::SettingsFileName(), "/cfg/Vistrel.ini");
    qputenv("XDG_CONFIG_HOME", "");
    EXPECT_EQ(TSettings::SettingsFileName(), qEnvironmentVariable("HOME") + "/.config/Vistrel.ini");
    qputenv("XDG_CONFIG_HOME", oldXdg);
    EXPECT_TRUE(TSettings::DefaultDirectory().endsWith("/Vistrel/"));
    EXPECT_FALSE(TSettings::DirectoryFault(TSettings::DefaultDirectory()));

    // Without a home the default directory can never be written.
    const QByteArray oldHome = qgetenv("HOME");
    for (const auto& [home, reason] : {std::pair{QByteArray(), "HOME is not set"},
                                       std::pair{QByteArray("/dev/null"), "is not a directory"}}) {
        qputenv("HOME", home);
        const std::optional<TWriteFault> fault =
            TSettings::DirectoryFault(TSettings::DefaultDirectory());
        ASSERT_TRUE(fault) << reason;
        EXPECT_TRUE(fault->permanent);
        EXPECT_TRUE(fault->message.startsWith("Cannot create directory ")) << reason;
        EXPECT_TRUE(fault->message.endsWith(reason)) << fault->message.toStdString();
        EXPECT_FALSE(TSettings::DirectoryFault("/elsewhere/"));
    }
    qputenv("HOME", oldHome);

    const QString d25 = "/home/someone/pictures/ab";
    ASSERT_EQ(d25.size(), 25);
    EXPECT_EQ(TSettings::ShortDirectory(d25), d25);
    EXPECT_EQ(TSettings::ShortDirectory(d25 + "c"), d25 + "...");
}

}  // namespace
}  // namespace vistrel
