#pragma once

#include <QString>

#include "base/errors.h"

namespace vistrel {

// The JPEG quality a user may choose, in the window and on the command line.
inline constexpr int kMinQuality = 50;
inline constexpr int kMaxQuality = 100;

// A write to the settings file failed: "Unable to write to <file>".
class EIniFileException : public EVistrelError {
public:
    explicit EIniFileException(const QString& fileName);
};

// Reads and writes single keys of an INI file. Sections and keys compare
// without regard to case; every other line of the file is kept as it is.
// Each write updates the file on disk at once, through a temporary file that
// is renamed over the old one, so a crash or a full disk never leaves the
// file half-written.
class TIniFile {
public:
    explicit TIniFile(QString fileName);

    const QString& FileName() const { return fileName_; }

    // The stored text (at most 2047 characters), or def when the key is missing.
    QString ReadString(const QString& section, const QString& key, const QString& def) const;
    // "0x"/"0X" prefix, "$"/"x"/"X" hexadecimal, leading blanks and a sign are
    // understood; an empty or partly numeric text gives def.
    int ReadInteger(const QString& section, const QString& key, int def) const;
    // An integer; anything but 0 is true.
    bool ReadBool(const QString& section, const QString& key, bool def) const;

    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int value);
    void WriteBool(const QString& section, const QString& key, bool value);

    // The text-to-integer rule of ReadInteger, exposed for tests.
    static bool ParseInteger(const QString& text, int& value);

private:
    QString fileName_;
};

// The five settings both front ends share, with their defaults, and the
// camera format a user chose in the window.
struct TSettings {
    static constexpr int kMaxSkippedFrames = 100;

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

    // $XDG_CONFIG_HOME/Vistrel.ini, or $HOME/.config/Vistrel.ini.
    static QString SettingsFileName();
    // The user's pictures directory + "/Vistrel/".
    static QString DefaultDirectory();

    // Reads the file (missing keys keep their defaults) and brings quality
    // and skipped frames into the ranges of the window's controls.
    static TSettings Load(const QString& fileName, const QString& defaultDirectory);
    // Writes Cam, JPEGQuality, SkippedFrames, Directory and Logging in that
    // order, then Format and Size when they are set; raises EIniFileException
    // at the first key that cannot be written.
    void Save(const QString& fileName) const;

    // The directory as a 28-character label at most: 25 characters and "...".
    static QString ShortDirectory(const QString& directory);
};

}  // namespace vistrel
