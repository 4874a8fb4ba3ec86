#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <functional>

// Runs `work` on the first window of type T once it shows, inside that window's own loop; the
// timer that looks for it belongs to `owner`.
template <typename T> void whenShown(QObject *owner, std::function<void(T *)> work) {
    auto *timer = new QTimer(owner);
    QObject::connect(timer, &QTimer::timeout, owner, [timer, work] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *shown = qobject_cast<T *>(widget); shown && shown->isVisible()) {
                timer->deleteLater();
                timer->stop();
                work(shown);
                return;
            }
        }
    });
    timer->start(10);
}
