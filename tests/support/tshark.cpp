#include "support/tshark.h"

#include <QProcess>
#include <QStandardPaths>

bool hasTshark() {
    return !QStandardPaths::findExecutable(QStringLiteral("tshark")).isEmpty();
}

QStringList tsharkFields(const QString &file, const QStringList &fields,
                         const QStringList &options) {
    QStringList arguments{QStringLiteral("-r"), file};
    arguments << options << QStringLiteral("-T") << QStringLiteral("fields");
    for (const QString &field : fields)
        arguments << QStringLiteral("-e") << field;
    QProcess tshark;
    tshark.start(QStringLiteral("tshark"), arguments);
    if (!tshark.waitForFinished(120000) || tshark.exitCode() != 0)
        return {QStringLiteral("tshark failed: ")
                + QString::fromUtf8(tshark.readAllStandardError())};
    return QString::fromUtf8(tshark.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}
