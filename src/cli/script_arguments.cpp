#include "cli/script_arguments.h"

#include "cli/command_line.h"
#include "program/program.h"
#include "runtime/shown_text.h"

#include <QCommandLineParser>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

// Long enough for any handler that does not loop; short enough that a loop is felt.
constexpr int MaxScriptTimeoutMs = 60000;

} // namespace

QString readScriptOptions(const QCommandLineParser &parser, CommandLine &line) {
    for (const QString &name : {u"script"_s, u"script-timeout"_s}) {
        if (parser.isSet(name) && line.mode != CommandLine::Mode::Headless)
            return u"--%1 works only with --headless"_s.arg(name);
    }
    if (parser.isSet(u"script-timeout"_s)) {
        if (!parser.isSet(u"script"_s))
            return u"--script-timeout works only with --script"_s;
        bool ok = false;
        const QString text = parser.value(u"script-timeout"_s);
        const int ms = text.toInt(&ok);
        if (!ok || ms < 1 || ms > MaxScriptTimeoutMs)
            return u"--script-timeout: '%1': not a number of milliseconds from 1 to %2"_s.arg(
                shownValue(text), QString::number(MaxScriptTimeoutMs));
        line.scriptTimeoutMs = ms;
    }
    if (!parser.isSet(u"script"_s))
        return {};
    const QString file = parser.value(u"script"_s);
    if (file.isEmpty())
        return u"--script needs a file"_s;
    line.scriptFile = QFileInfo(file).absoluteFilePath();
    if (!QFileInfo(line.scriptFile).isFile())
        return u"--script: '%1': no such file"_s.arg(shownValue(file));
    return {};
}

QString startRecordingAndScript(Program &program, const CommandLine &line) {
    if (!line.pcapFile.isEmpty()) {
        if (const QString error = program.startCapture(line.pcapFile); !error.isEmpty())
            return u"The capture %1 cannot be written: %2"_s.arg(line.pcapFile, error);
    }
    // The run shows the record on stderr already.
    if (!line.scriptFile.isEmpty()) {
        if (const QString error = program.loadScript(line.scriptFile, line.scriptTimeoutMs, false);
            !error.isEmpty())
            return u"The script cannot run: "_s + error;
    }
    return {};
}
