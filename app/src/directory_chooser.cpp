// SPDX-License-Identifier: MIT
#include "app/directory_chooser.h"

#include <QCompleter>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "base/errors.h"
#include "base/file_name.h"
#include "logging.h"

namespace vistrel {

TDirectoryChooser::TDirectoryChooser(const QString& startDirectory, Question ask,
                                     Complaint complain, QWidget* parent)
    : QDialog(parent),
      path_(new QLineEdit(this)),
      tree_(new QTreeView(this)),
      model_(new QFileSystemModel(this)),
      ask_(std::move(ask)),
      complain_(std::move(complain)) {
    setWindowTitle(tr("Select Directory"));
    setObjectName(QStringLiteral("DirectoryChooser"));

    model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    model_->setRootPath(QDir::rootPath());
    tree_->setModel(model_);
    for (int column = 1; column < model_->columnCount(); ++column) {
        tree_->hideColumn(column);
    }
    tree_->header()->hide();
    tree_->setObjectName(QStringLiteral("DirectoryTree"));

    path_->setObjectName(QStringLiteral("DirectoryPath"));
    auto* completerModel = new QFileSystemModel(this);
    completerModel->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
    completerModel->setRootPath(QDir::rootPath());
    path_->setCompleter(new QCompleter(completerModel, this));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &TDirectoryChooser::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TDirectoryChooser::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tree_, 1);
    layout->addWidget(new QLabel(tr("Path:"), this));
    layout->addWidget(path_);
    layout->addWidget(buttons);
    resize(360, 420);

    // Picking in the tree fills the path field; typing leaves the tree alone.
    connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid()) {
                    path_->setText(QDir::toNativeSeparators(model_->filePath(current)));
                }
            });
    SetPath(startDirectory);
}

QString TDirectoryChooser::Path() const {
    return path_->text();
}

void TDirectoryChooser::SetPath(const QString& path) {
    path_->setText(path);
    const QModelIndex index = model_->index(path);
    if (index.isValid()) {
        tree_->setCurrentIndex(index);
        tree_->scrollTo(index);
    }
}

bool TDirectoryChooser::TryAccept() {
    const QString path = Path().trimmed();
    if (path.isEmpty()) {
        return false;
    }
    // The path's own bytes (the file-name codec), not Qt's lossy UTF-8: a
    // name that is not UTF-8 is looked at and made as it is.
    const std::string native = EncodeFileName(path).toStdString();
    struct stat info {};
    const bool exists = ::stat(native.c_str(), &info) == 0;
    if (exists && !S_ISDIR(info.st_mode)) {
        if (complain_) {
            complain_(this, tr("%1 is not a directory.").arg(path));
        }
        return false;
    }
    if (!exists) {
        // No goes back to the chooser; yes creates every missing level.
        if (!ask_ || !ask_(this, QString::fromLatin1(kCreateQuestion))) {
            return false;
        }
        std::error_code error;
        std::filesystem::create_directories(native, error);
        if (error) {
            qCWarning(lcApp, "mkdir %s: %s", native.c_str(), ErrnoText(error.value()).c_str());
            if (complain_) {
                complain_(this, tr("Cannot create the directory %1.").arg(path));
            }
            return false;
        }
    }
    path_->setText(path);
    done(QDialog::Accepted);
    return true;
}

}  // namespace vistrel
