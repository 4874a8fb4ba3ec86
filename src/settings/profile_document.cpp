#include "settings/profile_document.h"

#include "runtime/write_failure.h"
#include "settings/profile_file.h"
#include "settings/windows1252.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ProfileFile {
namespace {

enum class Load { Read, Missing, Refused };

QString tooLargeProblem() {
    return QStringLiteral("it is larger than %1 KiB").arg(MaxBytes / 1024);
}

#ifdef Q_OS_UNIX
// Reads fd to its end, sized from sizeHint but growing as needed: a file may grow or report no
// size. False, with the problem, past MaxBytes or at a read error.
bool readToEnd(int fd, qsizetype sizeHint, QByteArray &bytes, QString &problem) {
    bytes.resize(qMin(sizeHint, MaxBytes) + 1);
    qsizetype total = 0;
    for (;;) {
        if (total == bytes.size()) {
            if (total > MaxBytes) {
                problem = tooLargeProblem();
                return false;
            }
            bytes.resize(qMin(total * 2, MaxBytes + 1));
        }
        const ssize_t got = ::read(fd, bytes.data() + total, size_t(bytes.size() - total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            problem = qt_error_string(errno);
            return false;
        }
        if (got == 0) {
            bytes.truncate(total);
            return true;
        }
        total += got;
    }
}

// Reads at most MaxBytes of a regular file. A FIFO, a device or a directory is refused before
// any byte is read, so a settings path pointing at one can neither block nor fill memory.
// `problem` says why a file that exists was refused.
Load loadFile(const QString &path, QByteArray &bytes, QString &problem) {
    bytes.clear();
    problem.clear();
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return Load::Missing;
        problem = qt_error_string(errno);
        return Load::Refused;
    }
    struct stat info {};
    Load result = Load::Refused;
    if (::fstat(fd, &info) != 0)
        problem = qt_error_string(errno);
    else if (!S_ISREG(info.st_mode))
        problem = QStringLiteral("it is not a regular file");
    else if (readToEnd(fd, qsizetype(info.st_size), bytes, problem))
        result = Load::Read;
    ::close(fd);
    if (result != Load::Read)
        bytes.clear();
    return result;
}
#else
// As above, through QFile: the size is checked before reading and again after.
Load loadFile(const QString &path, QByteArray &bytes, QString &problem) {
    bytes.clear();
    problem.clear();
    const QFileInfo info(path);
    if (!info.exists())
        return Load::Missing;
    QFile file(path);
    if (!info.isFile()) {
        problem = QStringLiteral("it is not a regular file");
        return Load::Refused;
    }
    if (info.size() > MaxBytes) {
        problem = tooLargeProblem();
        return Load::Refused;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        problem = file.errorString();
        return Load::Refused;
    }
    bytes = file.read(MaxBytes + 1);
    if (bytes.size() > MaxBytes || file.error() != QFileDevice::NoError) {
        problem = bytes.size() > MaxBytes ? tooLargeProblem() : file.errorString();
        bytes.clear();
        return Load::Refused;
    }
    return Load::Read;
}
#endif

void setProblem(QString *to, const QString &problem) {
    if (to)
        *to = problem;
}

} // namespace

bool Document::load(const QString &path, QString *problem) {
    m_path = path;
    QByteArray bytes;
    m_loaded = loadFile(path, bytes, m_loadProblem) != Load::Refused;
    setProblem(problem, m_loadProblem);
    m_saved = bytes;
    setText(std::move(bytes));
    return m_loaded;
}

void Document::setText(QByteArray text) {
    m_text = std::move(text);
    m_utf8 = Windows1252::isUtf8(m_text);
}

std::optional<QByteArray> Document::value(QByteArrayView section, QByteArrayView key) const {
    std::optional<QByteArray> found = findValue(m_text, section, key);
    if (found && !m_utf8)
        found = Windows1252::toUtf8(*found);
    return found;
}

bool Document::setValue(QByteArrayView section, QByteArrayView key, QByteArrayView value,
                        QString *problem) {
    std::optional<QByteArray> updated = withValue(m_text, section, key, value);
    if (updated && !m_utf8) {
        // The old code page keeps the file's bytes; where it cannot hold the value, or the
        // result would read as UTF-8, the whole file turns into UTF-8 with its text intact.
        const std::optional<QByteArray> legacy = Windows1252::fromUtf8(value);
        if (legacy)
            updated = withValue(m_text, section, key, *legacy);
        if (!legacy || Windows1252::isUtf8(*updated))
            updated = withValue(Windows1252::toUtf8(m_text), section, key, value);
    }
    if (!updated) {
        setProblem(problem, QStringLiteral("a name or value holds a line break"));
        return false;
    }
    if (updated->size() > MaxBytes) { // a file too large to read back is never written
        setProblem(problem, QStringLiteral("it would grow beyond %1 KiB").arg(MaxBytes / 1024));
        return false;
    }
    if (*updated != m_text)
        setText(*std::move(updated));
    return true;
}

bool Document::save(QString *problem) {
    if (!m_loaded) {
        setProblem(problem, m_loadProblem);
        return false;
    }
    // A missing file read as empty, and any value set makes text: it is written then.
    if (m_text == m_saved)
        return true;

    QSaveFile file(m_path);
    // Unbuffered: a buffered short write on a full disk is not reported and gets committed.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        setProblem(problem, file.errorString());
        return false;
    }
    if (file.write(m_text) != m_text.size()) {
        setProblem(problem, writeFailureReason(file));
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        setProblem(problem, file.errorString());
        return false;
    }
    m_saved = m_text;
    return true;
}

} // namespace ProfileFile
