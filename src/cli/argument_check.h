#pragma once

#include <QByteArrayList>
#include <QCommandLineOption>
#include <QList>
#include <QString>

// The checks QCommandLineParser cannot make, on the arguments as the system passed them (the
// program's name first, as in argv), given the options the parser gets. Returns the first problem
// as a usage-error text without the program's name, or an empty string when there is none:
// - an argument that is not valid UTF-8 ("the value of --send is not valid UTF-8"): as a QString
//   it would carry U+FFFD in place of the bytes given, on the wire or in a path;
// - a word of letters after a single dash ("unknown option '-headless'"), which the parser would
//   take apart into unknown single-letter options.
QString argumentError(const QByteArrayList &arguments, const QList<QCommandLineOption> &options);
QString argumentError(int argc, const char *const *argv, const QList<QCommandLineOption> &options);
