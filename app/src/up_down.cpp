// SPDX-License-Identifier: MIT
#include "app/up_down.h"

#include <QKeyEvent>
#include <QToolButton>

#include <algorithm>

namespace vistrel {

TUpDown::TUpDown(QWidget* parent)
    : QWidget(parent), up_(new QToolButton(this)), down_(new QToolButton(this)) {
    setFocusPolicy(Qt::StrongFocus);
    for (QToolButton* button : {up_, down_}) {
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoRepeat(true);
        button->setIconSize(QSize(7, 5));
    }
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    connect(up_, &QToolButton::clicked, this, [this] { Step(+1); });
    connect(down_, &QToolButton::clicked, this, [this] { Step(-1); });
}

void TUpDown::SetRange(int minimum, int maximum) {
    minimum_ = minimum;
    maximum_ = std::max(minimum, maximum);
    SetPosition(position_);
}

void TUpDown::SetPosition(int position) {
    const int clamped = std::clamp(position, minimum_, maximum_);
    if (clamped == position_) {
        return;
    }
    emit Changing(clamped);
    position_ = clamped;
    emit PositionChanged(position_);
}

void TUpDown::Step(int direction) {
    const int proposed = position_ + (direction > 0 ? 1 : -1);
    if (proposed < minimum_ || proposed > maximum_) {
        return;  // no wrap-around
    }
    SetPosition(proposed);
}

void TUpDown::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Up:
            Step(+1);
            break;
        case Qt::Key_Down:
            Step(-1);
            break;
        default:
            QWidget::keyPressEvent(event);
    }
}

void TUpDown::resizeEvent(QResizeEvent* /*event*/) {
    const int upper = height() / 2;
    up_->setGeometry(0, 0, width(), upper);
    down_->setGeometry(0, upper, width(), height() - upper);
}

}  // namespace vistrel
