// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <vector>

#include "base/errors.h"
#include "storage/frame_writer.h"

namespace vistrel {

// The JPEG quality a user may choose, in the window and on the command line.
inline constexpr int kMinQuality = 50;
inline constexpr int kMaxQuality = 100;

// A write to the settings file failed: "Unable to write to <file>.", and
// the file's own reason as a second sentence when there is one.
class EIniFileException : public EVistrelError {
public:
    explicit EIniFileException(const QString& fileName, const QString& reason = {});
};

// The keys of an INI file. The file is read once, when the object is made;
// reads and writes then work on the text held, and Flush writes it back in one
// rewrite. Sections and keys compare without regard to ASCII case. A write
// changes only its key's line (or adds one); every other line keeps its bytes,
// whatever their encoding, and a write of the value a key already has changes
// nothing at all.
class TIniFile {
public:
    // Reads fileName; a missing or unreadable file reads as empty, and an
    // unreadable one is never rewritten (Flush raises instead).
    explicit TIniFile(QString fileName);
    // An INI text held in memory, with no file behind it (Flush writes nothing).
    static TIniFile FromText(QByteArray text);

    const QString& FileName() const { return fileName_; }
    // Why the file was not read; empty when it was, or when it is missing.
    const QString& ReadFailure() const { return readFailure_; }

    // The stored text (at most 2047 characters, read as UTF-8), or def when
    // the key is missing.
    QString ReadString(const QString& section, const QString& key, const QString& def) const;
    // "0x"/"0X" prefix, "$"/"x"/"X" hexadecimal, leading blanks and a sign are
    // understood; an empty or partly numeric text gives def.
    int ReadInteger(const QString& section, const QString& key, int def) const;
    // ReadInteger brought into low..high, so that callers may compute with it.
    int ReadInteger(const QString& section, const QString& key, int def, int low, int high) const;
    // An integer; anything but 0 is true.
    bool ReadBool(const QString& section, const QString& key, bool def) const;

    // Set key in section in the text held, adding the key (and the section)
    // when missing. A value with a line break cannot be stored: EIniFileException.
    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int value);
    void WriteBool(const QString& section, const QString& key, bool value);

    // Writes the text to the file when a write changed it: one rewrite,
    // through a temporary file that is renamed over the old one, so a crash or
    // a full disk never leaves the file half-written. Makes the file's
    // directory when missing. Raises EIniFileException when it cannot.
    void Flush();

    // The text as it would be written.
    QByteArray Text() const;
    bool Modified() const { return modified_; }

    // The text-to-integer rule of ReadInteger, exposed for tests.
    static bool ParseInteger(const QString& text, int& value);

private:
    TIniFile() = default;
    struct Location;
    // One line with its line break ("\n", "\r\n", or nothing for a last line
    // without one): bytes [start, start + size) of the text read, or, with a
    // negative start, written line -start - 1 of written_.
    struct Line {
        qsizetype start = 0;
        qsizetype size = 0;
    };
    void SplitLines();
    QByteArrayView Bytes(qsizetype line) const;
    void Replace(qsizetype line, QByteArray bytes);
    void Insert(qsizetype line, QByteArray bytes);
    Location Find(const QString& section, const QString& key) const;
    QString ValueAt(qsizetype line) const;
    void SetLine(const Location& where, const QByteArray& key, const QByteArray& value);
    QByteArray LineBreak() const;

    QString fileName_;
    QByteArray text_;  // as read; a large file is held once, not per line
    std::vector<Line> lines_;
    std::vector<QByteArray> written_;
    bool modified_ = false;
    bool unreadable_ = false;
    QString readFailure_;  // why an unreadable file was not read
};

// The five settings both front ends share, with their defaults, and the
// camera format a user chose in the window.
struct TSettings {
    static constexpr int kMaxSkippedFrames = 100;
    // Camera positions far beyond any list; -1 and this both select nothing.
    static constexpr int kMaxCam = 9999;

    int Cam = 0;
    int JPEGQuality = 70;
    int SkippedFrames = 3;
    QString Directory;
    bool Logging = true;
    // The free-space floor as the user wrote it (TKeepFree::Parse), empty
    // when unset. Only read: a user adds the key by hand, and saving keeps
    // its line as it is and never adds one.
    QString KeepFree;
    // The chosen format ("MJPG") and size ("1280x720"); empty until a user
    // chose one, and then the camera's current format is taken.
    QString Format;
    QString Size;
    // The time-lapse period and the warm-up after each start as the user set
    // them ("1 min", "2 s"; DurationSetting reads them), empty until a user
    // set one: every taken frame written, from the first.
    QString Interval;
    QString WarmUp;
    // The active hours ("06:00-22:00") and the daylight rule ("52.52,13.40,30")
    // as the user wrote them (HoursSetting and DaylightSetting read them),
    // empty until set: no restriction.
    QString Hours;
    QString Daylight;
    // The camera control settings applied after every start, as a list
    // ("exposure_auto=1,exposure_time_absolute=300"; ControlListSetting
    // reads it). Unset until a user set one; empty once all were reset.
    std::optional<QString> Controls;
    // The picture stamp and MJPG passthrough as the user set them
    // (PictureSetting reads them), empty until a user set one: no stamp, and
    // every picture encoded.
    QString Timestamp;
    QString Title;
    QString Passthrough;
    // How the files are kept, as the user wrote it, empty until set: the
    // latest link's name, "1" for day folders, the days to keep
    // (LatestSetting, DailyFoldersSetting, KeepDaysSetting read them).
    QString Latest;
    QString DailyFolders;
    QString KeepDays;
    // Worker threads that encode and write the files, 1 to kMaxThreads; 0
    // until set: one per core, at most four (TWriteQueue::DefaultWorkers).
    int Threads = 0;
    static constexpr int kMaxThreads = 16;
    // Threads, or the default when unset.
    int WriteThreads() const;

    // $XDG_CONFIG_HOME/Vistrel.ini, or $HOME/.config/Vistrel.ini.
    static QString SettingsFileName();
    // The user's pictures directory + "/Vistrel/".
    static QString DefaultDirectory();
    // Why directory cannot be written at all when it is the default one (or a folder in it) and
    // the user has no home directory (HOME unset, or not a directory): a
    // permanent fault naming the reason. nullopt otherwise.
    static std::optional<TWriteFault> DirectoryFault(const QString& directory);

    // Reads the file (missing keys keep their defaults) and brings quality
    // and skipped frames into the ranges of the window's controls, and the
    // camera into -1..kMaxCam, so that no stored number overflows later sums.
    static TSettings Load(const QString& fileName, const QString& defaultDirectory);
    // Why the file cannot be taken as it is: it is missing or cannot be read,
    // or a key holds a value out of its range or not of its kind. Empty when
    // it can. Load quietly brings such values into range or to their
    // defaults; a running logger that reads its file again keeps its own.
    static QString Problem(const QString& fileName);
    // Sets Cam, JPEGQuality, SkippedFrames, Directory and Logging (keys that
    // are new are added in that order), then Format, Size, Interval,
    // WarmUp, Hours, Daylight, Controls, Timestamp, Title, Passthrough,
    // Latest, DailyFolders, KeepDays and Threads when they are set, and writes the
    // file once; raises EIniFileException when it cannot be written, which
    // leaves it unchanged.
    void Save(const QString& fileName) const;

    // The directory as a 28-character label at most: 25 characters and "...".
    static QString ShortDirectory(const QString& directory);
};

// The settings file's DailyFolders text: "1" on, "0" or empty off; anything
// else is off with a warning in the log.
bool DailyFoldersSetting(const QString& text);

}  // namespace vistrel
