#pragma once

#include <QFile>
#include <QProcess>
#include <QtTest>

// The built program (SENDREL_PROGRAM) as a child process without a display, its output collected
// as it comes.
struct ChildProgram {
    ChildProgram(const QString &folder, const QStringList &arguments, bool offscreen = false,
                 const QString &shell = {}, const QStringList &variables = {}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString &variable : variables)
            environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(name);
        if (offscreen)
            environment.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(folder);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                         [this] { err += process.readAllStandardError(); });
        const bool viaShell = arguments.value(0) == "-c";
        process.start(viaShell ? (shell.isEmpty() ? QStringLiteral("/bin/sh") : shell)
                               : QStringLiteral(SENDREL_PROGRAM),
                      arguments);
        process.waitForStarted(); // until then the child still has this program's handlers
    }
    ~ChildProgram() {
        process.kill();
        process.waitForFinished();
    }
    // Through the shell, for arguments that are not UTF-8 and for redirections.
    static QStringList shell(const QString &command) {
        return {"-c", "exec \"$0\" " + command, SENDREL_PROGRAM};
    }
    bool endsWith(int exitCode) {
        return QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, 30000)
               && process.exitStatus() == QProcess::NormalExit && process.exitCode() == exitCode;
    }
    // Ends the program as the service manager does, and waits for it: unlike a kill, this lets
    // it run its exit (which writes coverage data, too). True when it exited 0.
    bool terminate() {
        process.terminate();
        return endsWith(0);
    }
    // True once the program handles `number` itself instead of dying of it.
    bool catches(int number) {
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        status.open(QIODevice::ReadOnly);
        const QByteArray text = status.readAll();
        const qsizetype at = text.indexOf("SigCgt:");
        return at >= 0
               && (text.mid(at + 7, 17).trimmed().toULongLong(nullptr, 16) >> (number - 1)) & 1;
    }

    QProcess process;
    QByteArray out, err;
};
