#include "scratch.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// The first of the places that is (or is not) tmpfs; the system's temporary folder when none.
QString rootOn(bool tmpfs, const QStringList &places) {
    for (const QString &place : places) {
        if (QFileInfo(place).isDir() && QFileInfo(place).isWritable()
            && ScratchFolder::onTmpfs(place) == tmpfs)
            return place;
    }
    return QDir::tempPath();
}

} // namespace

ScratchFolder::ScratchFolder(Medium medium)
    : m_dir((medium == Memory
                 ? rootOn(true, {QStringLiteral("/dev/shm"), QDir::tempPath()})
                 : rootOn(false, {QDir::tempPath(), QDir::currentPath(), QDir::homePath()}))
            + QStringLiteral("/sendrel-bench-XXXXXX")) {}

QString ScratchFolder::description() const {
    return QStringLiteral("%1 (%2)").arg(QDir::toNativeSeparators(path()),
                                         onTmpfs(path()) ? QStringLiteral("tmpfs")
                                                         : QStringLiteral("disk"));
}

bool ScratchFolder::onTmpfs(const QString &path) {
    struct statfs status {};
    return ::statfs(QFile::encodeName(path).constData(), &status) == 0
           && status.f_type == TMPFS_MAGIC;
}

void ScratchFolder::flush() const {
    const int folder = ::open(QFile::encodeName(path()).constData(), O_RDONLY | O_CLOEXEC);
    if (folder < 0)
        return;
    ::syncfs(folder);
    ::close(folder);
}
