#pragma once

#include "model/form.h"

#include <QString>
#include <QStringList>

// A port that was free a moment ago, so a restart of the listener reopens the same one.
quint16 freeLoopbackPort(bool tcp);

// Starts the listener through its Start button on a free port; answers the port.
quint16 startListener(Form &form, bool tcp);

// Auto-respond on, with these watch and response strings in the pairs from the first on.
void setPairs(Form &form, const QStringList &watch, const QStringList &response);
// The usual exchange of these tests: "ping" answered with "pong".
inline void answerPingWithPong(Form &form) {
    setPairs(form, {QStringLiteral("ping")}, {QStringLiteral("pong")});
}
