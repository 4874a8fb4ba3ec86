#pragma once

#include <QString>

class Program;
class QCommandLineParser;
struct CommandLine;

// --script FILE and --script-timeout MS, with --headless only. Empty when all is well, else the
// usage error.
QString readScriptOptions(const QCommandLineParser &parser, CommandLine &line);

// The headless run's capture (--pcap) and script (--script), when asked for; the line to show
// on stderr when one cannot start.
QString startRecordingAndScript(Program &program, const CommandLine &line);
