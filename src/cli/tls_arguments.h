#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QString>

class QCommandLineParser;
struct CommandLine;

// The TLS options of the command line: --tls and what shapes it, and --make-cert.
QList<QCommandLineOption> tlsOptionTable();
// Reads them into `line`; empty when all is well, else the usage error.
QString readTlsOptions(const QCommandLineParser &parser, CommandLine &line);
// --make-cert DIR: a key and a self-signed certificate for this machine, their files and the
// certificate's fingerprint on stdout; the exit status.
int makeCertificateRun(const QString &folder);
