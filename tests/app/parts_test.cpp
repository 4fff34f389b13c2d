// SPDX-License-Identifier: MIT
// The window's building blocks: version text, instance lock, directory
// chooser, spinner and pictures.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include "app/directory_chooser.h"
#include "app/glyphs.h"
#include "app/instance_lock.h"
#include "app/system_version.h"
#include "app/up_down.h"

namespace vistrel {
namespace {

TEST(SystemVersionText, KernelReleaseNumbers) {
    const struct {
        const char* release;
        const char* text;
    } cases[] = {
        {"6.1.0-18-amd64", "6.1.0 Linux"},
        {"5.10.209-rt52", "5.10.209 Linux"},
        {"6.8", "6.8.0 Linux"},
        {"4.19.0+", "4.19.0 Linux"},
        {"weird", "0.0.0 Linux"},
    };
    for (const auto& [release, text] : cases) {
        EXPECT_EQ(SystemVersionText(ParseKernelRelease(QString::fromLatin1(release))), text)
            << release;
    }
    EXPECT_EQ(SystemVersionText(std::nullopt), "0.0.0");
    const auto real = KernelRelease();
    ASSERT_TRUE(real.has_value());
    EXPECT_GE(ParseKernelRelease(*real).MajorVersion, 2u);
}

TEST(InstanceLock, OneHolderAtATimeAndFreeAgainAfterRelease) {
    QTemporaryDir dir;
    const QString path = dir.filePath("VistrelMutex");
    TInstanceLock first;
    TInstanceLock second;
    ASSERT_EQ(first.Acquire(path), TInstanceLock::Result::Acquired);
    EXPECT_EQ(second.Acquire(path), TInstanceLock::Result::HeldElsewhere);
    EXPECT_FALSE(second.Held());
    first.Release();
    EXPECT_EQ(second.Acquire(path), TInstanceLock::Result::Acquired);
    // A lock file that cannot be made is no reason to refuse to start.
    TInstanceLock third;
    EXPECT_EQ(third.Acquire(dir.filePath("missing/dir/VistrelMutex")),
              TInstanceLock::Result::Unavailable);
}

TEST(InstanceLock, DefaultPathIsInAPrivateDirectoryOnly) {
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    QTemporaryDir dir;  // made with mode 0700
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    EXPECT_EQ(TInstanceLock::DefaultPath(), dir.filePath("VistrelMutex"));

    // A runtime directory others may write, or none: the private fallback.
    const QString fallback =
        QDir::tempPath() + "/vistrel-" + QString::number(::geteuid()) + "/VistrelMutex";
    ASSERT_TRUE(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                      QFile::ExeOwner | QFile::WriteOther |
                                                      QFile::ExeOther));
    EXPECT_EQ(TInstanceLock::DefaultPath(), fallback);
    qunsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(TInstanceLock::DefaultPath(), fallback);
    EXPECT_TRUE(TInstanceLock::IsPrivateDirectory(QFileInfo(fallback).path(), false));

    // A fallback directory someone else made first (here: a symbolic link
    // to one of ours) is not used.
    const QByteArray oldTmp = qgetenv("TMPDIR");
    QTemporaryDir tmp;
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
    ASSERT_TRUE(QFile::link(dir.path(), tmp.filePath("vistrel-" + QString::number(::geteuid()))));
    EXPECT_EQ(TInstanceLock::DefaultPath(), QString());
    if (oldTmp.isNull()) {
        qunsetenv("TMPDIR");
    } else {
        qputenv("TMPDIR", oldTmp);
    }
    if (!saved.isNull()) {
        qputenv("XDG_RUNTIME_DIR", saved);
    }
}

TEST(InstanceLock, PlantedLinksAndForeignFilesAreRefused) {
    QTemporaryDir dir;
    const QString target = dir.filePath("victim");
    const QString path = dir.filePath("VistrelMutex");
    ASSERT_TRUE(QFile::link(target, path));
    TInstanceLock lock;
    EXPECT_EQ(lock.Acquire(path), TInstanceLock::Result::Unavailable);
    EXPECT_FALSE(QFileInfo::exists(target)) << "nothing is made through the link";

    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QDir().mkdir(path));
    EXPECT_EQ(lock.Acquire(path), TInstanceLock::Result::Unavailable);
    ASSERT_TRUE(QDir().rmdir(path));

    // A file of another user, who could hold it: only root can make one here.
    if (::geteuid() == 0) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.close();
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
        EXPECT_EQ(lock.Acquire(path), TInstanceLock::Result::Unavailable);
    }
    EXPECT_FALSE(lock.Held());
}

class DirectoryChooserTest : public ::testing::Test {
protected:
    TDirectoryChooser MakeChooser() {
        return TDirectoryChooser(
            dir_.path(),
            [this](QWidget*, const QString& text) {
                questions_ << text;
                return answer_;
            },
            [this](QWidget*, const QString& text) { complaints_ << text; });
    }
    QTemporaryDir dir_;
    bool answer_ = false;
    QStringList questions_;
    QStringList complaints_;
};

TEST_F(DirectoryChooserTest, StartsInTheGivenDirectoryAndAcceptsAnExistingOne) {
    TDirectoryChooser chooser(dir_.path(), {}, {});
    EXPECT_EQ(chooser.Path(), dir_.path());
    EXPECT_TRUE(chooser.TryAccept());
    EXPECT_EQ(chooser.result(), QDialog::Accepted);
}

TEST_F(DirectoryChooserTest, TypedMissingPathIsCreatedOnlyAfterYes) {
    const QString typed = dir_.filePath("one/two/three");
    auto chooser = std::make_unique<TDirectoryChooser>(
        dir_.path(),
        [this](QWidget*, const QString& text) {
            questions_ << text;
            return answer_;
        },
        [this](QWidget*, const QString& text) { complaints_ << text; });
    chooser->SetPath(typed);

    answer_ = false;
    EXPECT_FALSE(chooser->TryAccept());  // No: back to the chooser
    ASSERT_EQ(questions_.size(), 1);
    EXPECT_EQ(questions_[0], "The specified directory does not exist. Create it?");
    EXPECT_FALSE(QFileInfo::exists(dir_.filePath("one")));
    EXPECT_NE(chooser->result(), QDialog::Accepted);

    answer_ = true;
    EXPECT_TRUE(chooser->TryAccept());
    EXPECT_TRUE(QFileInfo(typed).isDir());  // every missing level
    EXPECT_EQ(chooser->Path(), typed);
    EXPECT_EQ(chooser->result(), QDialog::Accepted);
    EXPECT_TRUE(complaints_.isEmpty());
}

TEST_F(DirectoryChooserTest, AFileOrAnUncreatablePathIsRefusedWithAMessage) {
    QFile file(dir_.filePath("plain"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    TDirectoryChooser chooser(
        dir_.path(), [](QWidget*, const QString&) { return true; },
        [this](QWidget*, const QString& text) { complaints_ << text; });
    chooser.SetPath(dir_.filePath("plain"));
    EXPECT_FALSE(chooser.TryAccept());
    chooser.SetPath(dir_.filePath("plain/below"));
    EXPECT_FALSE(chooser.TryAccept());
    EXPECT_EQ(complaints_.size(), 2);
}

TEST(UpDown, StepsWithinTheRangeAndAnnouncesBeforeApplying) {
    TUpDown spinner;
    spinner.SetRange(0, 2);
    int seenPositionAtChanging = -1;
    QList<int> proposals;
    QObject::connect(&spinner, &TUpDown::Changing, [&](int proposed) {
        proposals << proposed;
        seenPositionAtChanging = spinner.Position();
    });
    spinner.Step(+1);
    EXPECT_EQ(spinner.Position(), 1);
    EXPECT_EQ(seenPositionAtChanging, 0);
    spinner.Step(+1);
    spinner.Step(+1);
    EXPECT_EQ(spinner.Position(), 2);
    spinner.SetPosition(-7);
    EXPECT_EQ(spinner.Position(), 0);
    EXPECT_EQ(proposals, (QList<int>{1, 2, 0}));
}

TEST(Glyphs, EveryGlyphIsDrawnWithADistinctDisabledPicture) {
    for (Glyph glyph : {Glyph::Update, Glyph::Run, Glyph::Stop, Glyph::SaveSettings, Glyph::Exit,
                        Glyph::SelectDirectory, Glyph::System, Glyph::Web, Glyph::Mail}) {
        const QImage image = DrawGlyph(glyph);
        ASSERT_EQ(image.size(), QSize(16, 16));
        int opaque = 0;
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 16; ++x) {
                opaque += qAlpha(image.pixel(x, y)) > 0 ? 1 : 0;
            }
        }
        EXPECT_GT(opaque, 10) << static_cast<int>(glyph);
        const QIcon icon = DrawnGlyphIcon(glyph);
        const QImage normal = icon.pixmap(16, 16, QIcon::Normal).toImage();
        const QImage disabled = icon.pixmap(16, 16, QIcon::Disabled).toImage();
        EXPECT_NE(normal, disabled) << static_cast<int>(glyph);
    }
    EXPECT_FALSE(ProgramIcon().isNull());
    EXPECT_EQ(DrawFlag().size(), QSize(32, 16));
}

}  // namespace
}  // namespace vistrel
