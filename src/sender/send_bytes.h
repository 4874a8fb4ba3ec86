#pragma once

#include <QByteArray>
#include <QString>

// The send box's text as the form holds it: every line break, however it was typed or pasted
// (CR LF, CR, LF, a block break U+2029 or Shift+Enter's line separator U+2028), as one LF.
QString heldSendText(QString typed);

// The bytes a send of the held text puts on the wire: UTF-8, every line break as CR LF, every
// other character exactly as typed.
QByteArray sendBytes(QString held);
