// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QFileSystemModel;
class QLineEdit;
class QTreeView;

namespace vistrel {

// A modal chooser for the output directory: a tree of directories and a
// path field into which a path that does not exist yet may be typed. On
// acceptance of such a path it asks whether to create it, and creates every
// missing level.
class TDirectoryChooser : public QDialog {
    Q_OBJECT

public:
    // Asks a yes/no question; true for yes.
    using Question = std::function<bool(QWidget* parent, const QString& text)>;
    // Shows an error message.
    using Complaint = std::function<void(QWidget* parent, const QString& text)>;

    static constexpr const char* kCreateQuestion =
        "The specified directory does not exist. Create it?";

    TDirectoryChooser(const QString& startDirectory, Question ask, Complaint complain,
                      QWidget* parent = nullptr);

    // The path in the path field.
    QString Path() const;
    void SetPath(const QString& path);

    // Checks the path field and, when it is acceptable (existing, or created
    // after a yes), ends the dialog with Accepted. Returns whether it did.
    bool TryAccept();

    void accept() override { TryAccept(); }

private:
    QLineEdit* path_;
    QTreeView* tree_;
    QFileSystemModel* model_;
    Question ask_;
    Complaint complain_;
};

}  // namespace vistrel
