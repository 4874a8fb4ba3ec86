#include "sender/send_bytes.h"

#include <QPlainTextEdit>
#include <QTextDocument>

QByteArray sendBytes(const QPlainTextEdit &box) {
    // The raw text, not toPlainText(): that also turns a no-break space into a blank. The box
    // keeps no CR or LF of its own; a pasted CR LF, CR or LF became a block break (U+2029) and
    // Shift+Enter inserts a line separator (U+2028).
    QString text = box.document()->toRawText();
    const QString crLf = QStringLiteral("\r\n");
    text.replace(QChar::ParagraphSeparator, crLf);
    text.replace(QChar::LineSeparator, crLf);
    return text.toUtf8();
}
