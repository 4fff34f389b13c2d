// SPDX-License-Identifier: MIT
#pragma once

#include <QCoreApplication>
#include <QTemporaryDir>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vistrel::test {

// Stands in for the service manager: a unix datagram socket that
// $NOTIFY_SOCKET points at while the object lives.
class FakeNotifySocket {
public:
    FakeNotifySocket() {
        const std::string path = dir_.filePath("notify").toStdString();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (!dir_.isValid() || path.size() >= sizeof(address.sun_path)) {
            throw std::runtime_error("no room for the notify socket");
        }
        path.copy(address.sun_path, path.size());
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0 ||
            ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            throw std::runtime_error("cannot bind the notify socket");
        }
        ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~FakeNotifySocket() {
        ::unsetenv("NOTIFY_SOCKET");
        ::close(fd_);
    }
    FakeNotifySocket(const FakeNotifySocket&) = delete;
    FakeNotifySocket& operator=(const FakeNotifySocket&) = delete;

    // The next message, running the event loop while waiting for it.
    std::optional<std::string> Next(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        do {
            if (auto message = Take()) {
                return message;
            }
            QCoreApplication::processEvents();
            pollfd ready{fd_, POLLIN, 0};
            ::poll(&ready, 1, 2);  // short, so that due timers run soon
        } while (std::chrono::steady_clock::now() < end);
        return std::nullopt;
    }
    // Every message already sent, without running the event loop.
    std::vector<std::string> Drain() {
        std::vector<std::string> messages;
        while (auto message = Take()) {
            messages.push_back(*message);
        }
        return messages;
    }

private:
    std::optional<std::string> Take() {
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0) {
            return std::nullopt;
        }
        return std::string(buffer, static_cast<std::size_t>(n));
    }

    QTemporaryDir dir_;
    int fd_ = -1;
};

}  // namespace vistrel::test
