#pragma once

#include <QString>
#include <QTemporaryDir>

// A temporary folder for what a benchmark writes. In memory (tmpfs) the figures are the
// program's; on disk the writeback of the machine sets them, so those are information only.
class ScratchFolder {
public:
    enum Medium { Memory, Disk };

    explicit ScratchFolder(Medium medium = Memory);

    bool valid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }
    // The folder and the kind of file system it is on, for a figure line.
    QString description() const;

    static bool onTmpfs(const QString &path);
    // Writes what the system still holds for the folder's file system, so one run's
    // writeback is not charged to the next.
    void flush() const;

private:
    QTemporaryDir m_dir;
};
