// SPDX-License-Identifier: MIT
#include "storage/output_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace vistrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadBytes(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    const QByteArray data = file.readAll();
    return Bytes(data.begin(), data.end());
}

void WriteBytes(const QString& path, const Bytes& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
}

class OutputFileTest : public ::testing::Test {
protected:
    std::string Dir() const { return dir_.path().toStdString(); }
    QString PathOf(const QString& name) const { return dir_.filePath(name); }
    QStringList FilesInDir() const {
        return QDir(dir_.path())
            .entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }

    QTemporaryDir dir_;
};

TEST_F(OutputFileTest, PublishingNeverReplacesAFileButNumbersTheName) {
    WriteBytes(PathOf("090102030405006.jpg"), Bytes(5, 1));
    WriteBytes(PathOf("090102030405006-2.jpg"), Bytes(5, 2));
    const std::string first = PublishNewFile(Dir(), "090102030405006", ".jpg", Bytes(7, 3));
    const std::string second = PublishNewFile(Dir(), "090102030405006", ".jpg", Bytes(7, 4));
    EXPECT_EQ(first, "090102030405006-1.jpg");
    EXPECT_EQ(second, "090102030405006-3.jpg");
    EXPECT_EQ(ReadBytes(PathOf("090102030405006.jpg")), Bytes(5, 1));
    EXPECT_EQ(ReadBytes(PathOf("090102030405006-2.jpg")), Bytes(5, 2));
    EXPECT_EQ(ReadBytes(PathOf("090102030405006-3.jpg")), Bytes(7, 4));
    EXPECT_EQ(PublishNewFile(Dir() + "/", "090102030405007", ".jpg", Bytes(1, 5)),
              "090102030405007.jpg");
    EXPECT_EQ(FilesInDir().size(), 5) << FilesInDir().join(", ").toStdString();
}

TEST_F(OutputFileTest, AFailedStepIsNamedAndLeavesNoFileBehind) {
    const std::pair<FileStep, const char*> steps[] = {
        {FileStep::Create, "Cannot create file"},
        {FileStep::Write, "Cannot write file"},
        {FileStep::Sync, "Cannot sync file"},
        {FileStep::Publish, "Cannot publish file"},
    };
    WriteBytes(PathOf("old.jpg"), Bytes(3, 9));
    for (const auto& [failing, sentence] : steps) {
        const FileFaultHook fault = [failing](FileStep step) { return step == failing ? EIO : 0; };
        for (const bool replace : {false, true}) {
            try {
                if (replace) {
                    ReplaceFile(PathOf("old.jpg").toStdString(), Bytes(8, 1), fault);
                } else {
                    PublishNewFile(Dir(), "090102030405006", ".jpg", Bytes(8, 1), fault);
                }
                ADD_FAILURE() << sentence << " raised nothing";
            } catch (const EFileError& e) {
                EXPECT_EQ(e.Step(), failing);
                EXPECT_EQ(e.ErrorNumber(), EIO);
                const std::string name = replace ? "old.jpg" : "090102030405006.jpg";
                EXPECT_EQ(std::string(e.what()), std::string(sentence) + " \"" + Dir() + "/" +
                                                     name + "\"" +
                                                     (failing == FileStep::Sync ? " to disk" : "") +
                                                     ". Input/output error");
            }
        }
        EXPECT_EQ(FilesInDir(), QStringList{"old.jpg"}) << sentence;
        EXPECT_EQ(ReadBytes(PathOf("old.jpg")), Bytes(3, 9));
    }
    ReplaceFile(PathOf("old.jpg").toStdString(), Bytes(8, 1));
    EXPECT_EQ(ReadBytes(PathOf("old.jpg")), Bytes(8, 1));
}

// A file system without RENAME_NOREPLACE: the name is claimed with link and
// unlink, just as safely.
int NoRenameNoReplace(int, const char*, const char*) {
    errno = EINVAL;
    return -1;
}

TEST_F(OutputFileTest, WithoutRenameNoReplaceALinkClaimsTheNameAndNothingIsReplaced) {
    WriteBytes(PathOf("090102030405006.jpg"), Bytes(5, 1));
    SetRenameNoReplace(NoRenameNoReplace);
    const std::string first = PublishNewFile(Dir(), "090102030405006", ".jpg", Bytes(7, 3));
    const std::string second = PublishNewFile(Dir(), "090102030405007", ".jpg", Bytes(7, 4));
    SetRenameNoReplace(nullptr);
    EXPECT_EQ(first, "090102030405006-1.jpg");
    EXPECT_EQ(second, "090102030405007.jpg");
    EXPECT_EQ(ReadBytes(PathOf("090102030405006.jpg")), Bytes(5, 1));
    EXPECT_EQ(ReadBytes(PathOf("090102030405006-1.jpg")), Bytes(7, 3));
    EXPECT_EQ(FilesInDir(),
              QStringList({"090102030405006-1.jpg", "090102030405006.jpg", "090102030405007.jpg"}));
}

TEST(OutputFileNames, TemporaryNamesTakenApart) {
    const auto parsed = ParseTempFileName(".090102030405006-1.jpg.4242-17.part");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->finalName, "090102030405006-1.jpg");
    EXPECT_EQ(parsed->pid, 4242);
    for (const char* other : {"090102030405006.jpg", ".a.jpg.12.part", ".a.jpg.-12-1.part",
                              ".a.jpg.12-x.part", "..12-1.part", ".a.jpg.0-1.part", ".part"}) {
        EXPECT_FALSE(ParseTempFileName(other)) << other;
    }
}

}  // namespace
}  // namespace vistrel
