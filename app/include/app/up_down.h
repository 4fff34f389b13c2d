// SPDX-License-Identifier: MIT
#pragma once

#include <QWidget>

class QToolButton;

namespace vistrel {

// A vertical up-down spinner without an edit field: two arrow buttons that
// step a position within a range, without wrap-around. Takes keyboard focus
// and steps with the Up and Down keys as well.
class TUpDown : public QWidget {
    Q_OBJECT

public:
    explicit TUpDown(QWidget* parent = nullptr);

    void SetRange(int minimum, int maximum);
    int Minimum() const { return minimum_; }
    int Maximum() const { return maximum_; }
    int Position() const { return position_; }
    // Clamps into the range. A change is announced by Changing first.
    void SetPosition(int position);
    // One step up (+1) or down (-1); a step past a bound does nothing.
    void Step(int direction);

signals:
    // A new position, before it is applied.
    void Changing(int proposed);
    void PositionChanged(int position);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QToolButton* up_;
    QToolButton* down_;
    int minimum_ = 0;
    int maximum_ = 100;
    int position_ = 0;
};

}  // namespace vistrel
