#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QRandomGenerator>

// Bytes no pattern of the code under test could produce by chance, and their digest to compare
// megabytes by.
inline QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

inline QByteArray sha(const QByteArray &bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}
