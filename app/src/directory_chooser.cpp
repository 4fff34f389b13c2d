#include "app/directory_chooser.h"

#include <QCompleter>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

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
    const QFileInfo info(path);
    if (info.exists() && !info.isDir()) {
        if (complain_) {
            complain_(this, tr("%1 is not a directory.").arg(path));
        }
        return false;
    }
    if (!info.exists()) {
        // No goes back to the chooser; yes creates every missing level.
        if (!ask_ || !ask_(this, QString::fromLatin1(kCreateQuestion))) {
            return false;
        }
        if (!QDir().mkpath(path)) {
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
