#include "cli/argument_check.h"
#include "runtime/shown_text.h"

#include <QHash>

using namespace Qt::Literals::StringLiterals;

namespace {

// Whether the text main() makes of the bytes gives the same bytes back (UTF-8 under Qt 6 on Linux).
bool exact(const QByteArray &bytes) {
    return QString::fromLocal8Bit(bytes).toLocal8Bit() == bytes;
}

QString notUtf8(const QByteArray &option) {
    return u"the value of %1 is not valid UTF-8"_s.arg(shownValue(QString::fromUtf8(option)));
}

// After one dash every letter is an option; one that takes a value takes the rest, or the next
// argument (then named in `valueOf`).
QString lettersError(const QByteArray &argument, const QByteArray &written,
                     const QHash<QByteArray, bool> &takesValue, QByteArray &valueOf) {
    for (qsizetype at = 1; at < written.size(); ++at) {
        const QByteArray letter = written.mid(at, 1);
        const auto known = takesValue.constFind(letter);
        if (known == takesValue.cend()) {
            if (written.size() == 2)
                return {}; // the parser names a single letter whole itself
            QString error = u"unknown option '%1'"_s.arg(shownValue(QString::fromUtf8(written)));
            if (takesValue.contains(written.mid(1)))
                error += u" (did you mean '-%1'?)"_s.arg(shownValue(QString::fromUtf8(written)));
            return error;
        }
        if (*known) {
            QByteArray rest = argument.mid(at + 1);
            if (rest.startsWith('='))
                rest.remove(0, 1);
            if (at + 1 == argument.size())
                valueOf = '-' + letter;
            else if (!exact(rest))
                return notUtf8('-' + letter);
            return {};
        }
    }
    return {};
}

} // namespace

QString argumentError(const QByteArrayList &arguments, const QList<QCommandLineOption> &options) {
    QHash<QByteArray, bool> takesValue; // by every name of every option
    for (const QCommandLineOption &option : options) {
        for (const QString &name : option.names())
            takesValue.insert(name.toUtf8(), !option.valueName().isEmpty());
    }
    QByteArray valueOf; // the option, as written, whose value is the next argument
    bool optionsEnded = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QByteArray &argument = arguments[i];
        if (!valueOf.isEmpty()) { // taken whatever it looks like, as the parser does
            if (!exact(argument))
                return notUtf8(valueOf);
            valueOf.clear();
            continue;
        }
        if (argument == "--" && !optionsEnded) {
            optionsEnded = true;
            continue;
        }
        const bool option = !optionsEnded && argument.startsWith('-') && argument != "-";
        const qsizetype equals = option ? argument.indexOf('=') : -1;
        const QByteArray written = equals < 0 ? argument : argument.left(equals);
        if (!exact(written))
            return u"argument %1 is not valid UTF-8"_s.arg(i);
        if (!option)
            continue;
        if (written.startsWith("--")) {
            if (equals >= 0 && !exact(argument.mid(equals + 1)))
                return notUtf8(written);
            if (equals < 0 && takesValue.value(written.mid(2)))
                valueOf = written;
            continue;
        }
        if (QString error = lettersError(argument, written, takesValue, valueOf); !error.isEmpty())
            return error;
    }
    return {};
}

QString argumentError(int argc, const char *const *argv, const QList<QCommandLineOption> &options) {
    QByteArrayList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    return argumentError(arguments, options);
}
