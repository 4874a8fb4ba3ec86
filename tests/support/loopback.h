#pragma once

#include "form/controls.h"

#include <QString>

// A port that was free a moment ago, so a restart of the listener reopens the same one.
quint16 freeLoopbackPort(bool tcp);

// Starts the window's listener through its Start button on a free port; answers the port.
quint16 startListener(Controls &controls, bool tcp);
