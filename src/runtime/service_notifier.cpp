#include "runtime/service_notifier.h"

#include <QList>
#include <QRegularExpression>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The socket address NOTIFY_SOCKET names, or nothing for a value the manager would not give.
QByteArray socketAddress(const QByteArray &name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const bool abstract = name.startsWith('@');
    // A path needs room for its terminator; an abstract name has none and may fill the field.
    const size_t room = sizeof(address.sun_path) - (abstract ? 0 : 1);
    if ((!abstract && !name.startsWith('/')) || size_t(name.size()) > room)
        return {};
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    if (abstract)
        address.sun_path[0] = '\0'; // the name is the bytes after it, with no terminator
    const size_t length =
        offsetof(sockaddr_un, sun_path) + size_t(name.size()) + (abstract ? 0 : 1);
    return QByteArray(reinterpret_cast<const char *>(&address), qsizetype(length));
}

} // namespace

ServiceNotifier::ServiceNotifier() : ServiceNotifier(qgetenv("NOTIFY_SOCKET")) {}

ServiceNotifier::ServiceNotifier(const QByteArray &address) : m_address(socketAddress(address)) {
    if (!m_address.isEmpty())
        m_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

ServiceNotifier::~ServiceNotifier() {
    if (m_socket >= 0)
        ::close(m_socket);
}

void ServiceNotifier::ready() {
    send("READY=1");
}

void ServiceNotifier::status(const QString &text) {
    send("STATUS=" + oneLine(escapedControls(text)).toUtf8());
}

void ServiceNotifier::stopping() {
    send("STOPPING=1");
}

// A manager that is gone or has no room costs the message, never a wait.
void ServiceNotifier::send(const QByteArray &message) {
    if (m_socket < 0)
        return;
    const auto *address = reinterpret_cast<const sockaddr *>(m_address.constData());
    while (::sendto(m_socket, message.constData(), size_t(message.size()),
                    MSG_NOSIGNAL | MSG_DONTWAIT, address, socklen_t(m_address.size()))
               < 0
           && errno == EINTR) {
    }
}

QString oneLine(const QString &text) {
    static const QRegularExpression lineBreaks(QStringLiteral("[\r\n]+"));
    return text.split(lineBreaks, Qt::SkipEmptyParts).join(u' ');
}

bool underJournal() {
    return isJournalStream(qgetenv("JOURNAL_STREAM"), STDERR_FILENO);
}

bool isJournalStream(const QByteArray &journalStream, int descriptor) {
    const QList<QByteArray> parts = journalStream.split(':');
    if (parts.size() != 2)
        return false;
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = parts[0].toULongLong(&deviceOk);
    const qulonglong inode = parts[1].toULongLong(&inodeOk);
    struct stat status {};
    return deviceOk && inodeOk && ::fstat(descriptor, &status) == 0 && status.st_dev == device
           && status.st_ino == inode;
}

QString escapedControls(const QString &text) {
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        const bool control = code < 0x20 || (code >= 0x7f && code <= 0x9f);
        if (control && code != u'\r' && code != u'\n')
            escaped += QStringLiteral("\\x%1").arg(int(code), 2, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    return escaped;
}

QString errorLine(const QString &text, LinePriority priority, bool underJournal,
                  const QDateTime &stamp) {
    const QString line = oneLine(escapedControls(text)) + u'\n';
    if (underJournal)
        return u'<' + QString::number(int(priority)) + u'>' + line;
    if (stamp.isValid())
        return stamp.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + u' ' + line;
    return line;
}

QString statusLine(const QString &text, bool error, bool underJournal, const QDateTime &now) {
    return errorLine(text, error ? LinePriority::Error : LinePriority::Info, underJournal, now);
}

void sendQtMessagesThroughErrorLine() {
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context,
                              const QString &message) {
        LinePriority priority = LinePriority::Error;
        switch (type) {
        case QtDebugMsg:
            priority = LinePriority::Debug;
            break;
        case QtInfoMsg:
            priority = LinePriority::Info;
            break;
        case QtWarningMsg:
            priority = LinePriority::Warning;
            break;
        case QtCriticalMsg:
        case QtFatalMsg:
            break;
        }
        const QString category = context.category && std::strcmp(context.category, "default") != 0
                                     ? QString::fromUtf8(context.category) + QStringLiteral(": ")
                                     : QString();
        const QByteArray line =
            errorLine(category + message, priority, underJournal(), {}).toUtf8();
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
    });
}
