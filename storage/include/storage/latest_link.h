// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <optional>
#include <string>

namespace vistrel {

// A symbolic link in the output directory that names the newest picture, for
// a web page or a script that wants "the current picture" without polling
// the folder. Its target is relative ("261209101500123.jpg", or
// "2026-12-09/261209101500123.jpg" with day folders), so the folder can move.
//
// The link is made under a hidden temporary name and renamed over the old
// one, so a reader always finds it, and always pointing at a whole file. A
// name that is taken by anything but a link of ours (a file, a folder, a link
// elsewhere) is left alone, with one warning.
class TLatestLink {
public:
    // Why name cannot be the link's name (empty, a path, "." or "..", or a
    // picture's name), as a sentence; nullopt when it can.
    static std::optional<QString> NameProblem(const QString& name);
    // True for what our link points at: a picture's name, alone or in a day folder.
    static bool IsOurTarget(const std::string& target);

    // The directory as the files are named: ends with "/".
    void SetDirectory(const std::string& directory) { directory_ = directory; }
    // The link's name in the directory, encoded as file names are; empty: no link.
    void SetName(const std::string& name);
    const std::string& Name() const { return name_; }
    bool IsOn() const { return !name_.empty(); }

    // At the start: removes the temporary links that processes no longer
    // running left, and says once when the name is taken by something else.
    void Prepare();
    // What the link points at now, when it is ours; nullopt otherwise.
    std::optional<std::string> Target() const;
    // Points the link at target, relative to the directory. False when the
    // name is someone else's or the link could not be made (said in the log).
    bool Point(const std::string& target);

private:
    // The link's name is free or holds a link of ours.
    bool NameIsOurs(int dir);

    std::string directory_;
    std::string name_;
    bool warnedTaken_ = false;
    bool failing_ = false;  // a failure was said; the next one is only noted
};

// The settings file's Latest text as the link's name: empty (no link) when
// unset, and with a warning in the log when it cannot be one.
QString LatestSetting(const QString& text);

}  // namespace vistrel
