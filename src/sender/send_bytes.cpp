#include "sender/send_bytes.h"

QString heldSendText(QString typed) {
    typed.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    typed.replace(u'\r', u'\n');
    typed.replace(QChar::ParagraphSeparator, u'\n');
    typed.replace(QChar::LineSeparator, u'\n');
    return typed;
}

QByteArray sendBytes(QString held) {
    return held.replace(u'\n', QStringLiteral("\r\n")).toUtf8();
}
