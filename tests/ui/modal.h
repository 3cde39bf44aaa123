// Acting on a modal dialog from inside the event loop it runs: a timer polls for it.
#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <functional>

#include "net/text.h"

namespace twk::test {

// Once a modal dialog of type T is up and `ready` holds, runs `act` on it. Gives up after
// `timeout_ms` by closing whatever is modal and setting `timed_out`.
template <typename T>
void when_modal(std::function<bool()> ready, std::function<void(T&)> act, bool& timed_out,
                int64_t timeout_ms = 30000) {
    auto* poll = new QTimer();
    int64_t deadline = monotonic_ms() + timeout_ms;
    QObject::connect(poll, &QTimer::timeout, poll, [=, &timed_out] {
        auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (dialog && ready()) {
            poll->stop();
            act(*dialog);
        } else if (monotonic_ms() < deadline) {
            return;
        } else {
            timed_out = true;
            if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
        }
        poll->deleteLater();
    });
    poll->start(20);
}

} // namespace twk::test
