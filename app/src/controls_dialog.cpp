// SPDX-License-Identifier: MIT
#include "controls_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

#include "logging.h"

namespace vistrel {

namespace {

int ToInt(std::int64_t value) {
    return static_cast<int>(std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(),
                                                     std::numeric_limits<int>::max()));
}

QString MenuItemText(const TCameraControl& control, const TMenuItem& item) {
    return control.type == TControlType::IntegerMenu ? QString::number(item.value)
                                                     : QString::fromStdString(item.name);
}

}  // namespace

TControlsDialog::TControlsDialog(TVideoImage& session, std::vector<TControlSetting> settings,
                                 Changed changed, QWidget* parent)
    : QDialog(parent), panel_(session, std::move(settings)), changed_(std::move(changed)) {
    setObjectName(QStringLiteral("ControlsDialog"));
    setWindowTitle(tr("Camera controls"));
    setAttribute(Qt::WA_DeleteOnClose);
    Build();
}

void TControlsDialog::Build() {
    form_ = new QFormLayout;
    QFormLayout* form = form_;
    if (const TStatus s = panel_.Refresh(); Failed(s)) {
        qCWarning(lcApp, "camera controls not read: status 0x%08x", static_cast<unsigned>(s));
    }
    for (const TCameraControl& control : panel_.Controls()) {
        QWidget* editor = MakeEditor(control);
        editors_[control.id] = editor;
        form->addRow(
            control.type == TControlType::Button ? QString() : QString::fromStdString(control.name),
            editor);
    }
    auto* rows = new QWidget;
    rows->setLayout(form);
    auto* scroll = new QScrollArea;
    scroll->setWidget(rows);
    scroll->setWidgetResizable(true);

    status_ = new QLabel(panel_.Controls().empty() ? tr("The camera has no controls.") : QString());
    status_->setObjectName(QStringLiteral("ControlsStatus"));
    status_->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    QPushButton* defaults = buttons->addButton(tr("Defaults"), QDialogButtonBox::ResetRole);
    defaults->setObjectName(QStringLiteral("ControlsDefaults"));
    connect(defaults, &QPushButton::clicked, this, [this] { ResetAll(); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(scroll);
    layout->addWidget(status_);
    layout->addWidget(buttons);
    resize(420, 480);
    Show();
}

QWidget* TControlsDialog::MakeEditor(const TCameraControl& control) {
    const std::uint32_t id = control.id;
    switch (control.type) {
        case TControlType::Boolean: {
            auto* box = new QCheckBox;
            connect(box, &QCheckBox::toggled, this, [this, id](bool on) { Apply(id, on ? 1 : 0); });
            return box;
        }
        case TControlType::Menu:
        case TControlType::IntegerMenu: {
            auto* list = new QComboBox;
            for (const TMenuItem& item : control.menu) {
                list->addItem(MenuItemText(control, item), QVariant::fromValue(item.index));
            }
            connect(list, &QComboBox::activated, this,
                    [this, id, list](int row) { Apply(id, list->itemData(row).toUInt()); });
            return list;
        }
        case TControlType::Button: {
            auto* button = new QPushButton(QString::fromStdString(control.name));
            connect(button, &QPushButton::clicked, this, [this, id] { Apply(id, 1); });
            return button;
        }
        default:
            break;
    }
    auto* row = new QWidget;
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setRange(ToInt(control.minimum), ToInt(control.maximum));
    slider->setSingleStep(std::max(1, ToInt(static_cast<std::int64_t>(control.step))));
    slider->setPageStep(
        std::max(slider->singleStep(), (slider->maximum() - slider->minimum()) / 10));
    auto* value = new QLabel;
    value->setMinimumWidth(value->fontMetrics().horizontalAdvance(QStringLiteral("-000000")));
    values_[id] = value;
    // A drag sets the camera once, where it ends; the label follows it.
    slider->setTracking(false);
    connect(slider, &QSlider::sliderMoved, value,
            [value](int v) { value->setText(QString::number(v)); });
    connect(slider, &QSlider::valueChanged, this, [this, id, value](int v) {
        value->setText(QString::number(v));
        Apply(id, v);
    });
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(slider);
    layout->addWidget(value);
    return row;
}

void TControlsDialog::Apply(std::uint32_t id, std::int64_t value) {
    if (const std::optional<QString> problem = panel_.Set(id, value)) {
        Tell({*problem});
    } else {
        status_->clear();
    }
    if (changed_) {
        changed_(panel_.Settings());
    }
    Show();
}

void TControlsDialog::ResetAll() {
    Tell(panel_.Defaults());
    if (changed_) {
        changed_(panel_.Settings());
    }
    Show();
}

void TControlsDialog::Show() {
    for (const auto& [id, editor] : editors_) {
        const TCameraControl* control = panel_.Find(id);
        const bool editable = control != nullptr && TControlPanel::Editable(*control);
        editor->setEnabled(editable);
        if (QWidget* label = form_->labelForField(editor)) {
            label->setEnabled(editable);
        }
        if (control == nullptr || !control->value) {
            continue;
        }
        const std::int64_t value = *control->value;
        if (auto* box = qobject_cast<QCheckBox*>(editor)) {
            const QSignalBlocker quiet(box);
            box->setChecked(value != 0);
        } else if (auto* list = qobject_cast<QComboBox*>(editor)) {
            const QSignalBlocker quiet(list);
            list->setCurrentIndex(
                list->findData(QVariant::fromValue(static_cast<std::uint32_t>(value))));
        } else if (auto* slider = editor->findChild<QSlider*>()) {
            const QSignalBlocker quiet(slider);
            slider->setValue(ToInt(value));
            values_[id]->setText(QString::number(value));
        }
    }
}

void TControlsDialog::Tell(const std::vector<QString>& problems) {
    QStringList lines;
    for (const QString& problem : problems) {
        qCWarning(lcApp, "%s", qUtf8Printable(problem));
        lines << problem;
    }
    status_->setText(lines.join(u'\n'));
}

}  // namespace vistrel
