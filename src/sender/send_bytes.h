#pragma once

#include <QByteArray>

class QPlainTextEdit;

// The bytes a send of the box's text puts on the wire: UTF-8, every line break as CR LF, every
// other character exactly as typed.
QByteArray sendBytes(const QPlainTextEdit &box);
