#include "cli/control_arguments.h"

#include "cli/command_line.h"
#include "control/control_json.h"
#include "runtime/shown_text.h"

#include <QCommandLineParser>
#include <QFile>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr qint64 MaxTokenFile = 4096;

// The token's text, trimmed; empty with `error` set when the file gives none.
QByteArray readToken(const QString &path, QString &error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = u"--control-token-file: '%1': %2"_s.arg(shownValue(path), file.errorString());
        return {};
    }
    const QByteArray token = file.read(MaxTokenFile + 1).trimmed();
    if (token.isEmpty() || token.size() > MaxTokenFile || token.contains('\n')
        || token.contains('\r'))
        error = u"--control-token-file: '%1' holds no token of one line (at most %2 bytes)"_s
                    .arg(shownValue(path))
                    .arg(MaxTokenFile);
    return error.isEmpty() ? token : QByteArray();
}

} // namespace

QString readControlOptions(const QCommandLineParser &parser, CommandLine &line) {
    if (!parser.isSet(u"control"_s)) {
        for (const QString &name : {u"control-any"_s, u"control-token-file"_s}) {
            if (parser.isSet(name))
                return u"--%1 works only with --control"_s.arg(name);
        }
        return {};
    }
    if (line.mode != CommandLine::Mode::Headless)
        return u"--control works only with --headless"_s;
    const QString text = parser.value(u"control"_s);
    ListenEnd end;
    if (parseListenEnd(text, end) || end.udp || text.startsWith(u':'))
        return u"--control needs ADDRESS:PORT, an IP address or localhost and a port from 0 to "
               "65535, not '%1'"_s.arg(shownValue(text));
    if (!end.address.isLoopback() && !parser.isSet(u"control-any"_s))
        return u"--control: '%1' is no loopback address; --control-any allows it, with "
               "--control-token-file"_s.arg(shownValue(text));
    if (parser.isSet(u"control-any"_s) && !parser.isSet(u"control-token-file"_s))
        return u"--control-any needs --control-token-file"_s;
    if (parser.isSet(u"control-token-file"_s)) {
        QString error;
        line.controlToken = readToken(parser.value(u"control-token-file"_s), error);
        if (!error.isEmpty())
            return error;
    }
    line.controlAddress = end.address;
    line.controlPort = end.port;
    return {};
}
