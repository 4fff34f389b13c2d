// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>

#include <functional>

namespace vistrel {

// Listens to logind's PrepareForSleep signal on the system bus and reports
// each suspend (false) and resume (true). Without a system bus or logind it
// stays silent.
class TPowerWatcher : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(bool resumed)>;

    explicit TPowerWatcher(Handler handler, QObject* parent = nullptr);
    bool Connected() const { return connected_; }

private slots:
    void PrepareForSleep(bool start);

private:
    Handler handler_;
    bool connected_ = false;
};

}  // namespace vistrel
