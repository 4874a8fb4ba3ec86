#pragma once

#include <QString>

class QCommandLineParser;
struct CommandLine;

// --control ADDRESS:PORT, --control-any and --control-token-file FILE. Empty when all is well,
// else the usage error.
QString readControlOptions(const QCommandLineParser &parser, CommandLine &line);
