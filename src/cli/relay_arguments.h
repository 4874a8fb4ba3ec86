#pragma once

#include <QString>

class QCommandLineParser;
struct CommandLine;

// --relay and the link faults (--relay-delay, --relay-drop, --relay-rate, --relay-cut, each
// for both ways or, with "up:" or "down:", for one), --faults and --pcap; --script. Empty when all
// is well, else the usage error.
QString readRelayOptions(const QCommandLineParser &parser, CommandLine &line);
