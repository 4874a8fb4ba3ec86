#include "runtime/paths.h"

#include <QDir>

bool endsWithSeparator(const QString &path) {
#ifdef Q_OS_WIN
    return path.endsWith(u'\\') || path.endsWith(u'/');
#else
    return path.endsWith(QDir::separator());
#endif
}

QString withFinalSeparator(const QString &path) {
    // An empty path names no folder; with a separator it would name the root.
    return path.isEmpty() || endsWithSeparator(path) ? path : path + QDir::separator();
}

QString joinedPath(const QString &folder, const QString &name) {
    const QChar sep = QDir::separator();
    QString path = QDir::toNativeSeparators(folder + u'/' + name);
    const QString doubled(2, sep);
#ifdef Q_OS_WIN
    const bool unc = path.startsWith(doubled); // \\server\share keeps its prefix
#else
    const bool unc = false;
#endif
    qsizetype at = unc ? 1 : 0;
    while ((at = path.indexOf(doubled, at)) >= 0)
        path.remove(at, 1);
    return path;
}

QString absoluteFolder(const QString &typed, const QString &base) {
    QString folder = typed;
#ifndef Q_OS_WIN
    if (folder == u"~" || folder.startsWith(u"~/"))
        folder.replace(0, 1, QDir::homePath());
#endif
    if (QDir::isRelativePath(folder) && !base.isEmpty())
        folder = joinedPath(base, folder);
    // A final separator typed in the box stays, so the log file name goes straight after it.
    return endsWithSeparator(typed) ? withFinalSeparator(folder) : folder;
}
