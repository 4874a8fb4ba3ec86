#pragma once

#include <QCommandLineOption>
#include <QList>

// The command line's options, in the order --help lists them, with their help texts.
QList<QCommandLineOption> optionTable();
