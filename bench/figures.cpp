#include "figures.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sys/resource.h>

namespace {

double seconds(const timeval &value) {
    return double(value.tv_sec) + double(value.tv_usec) / 1e6;
}

rusage threadUsage() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage;
}

double statusFieldMiB(const char *field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix)) {
            const QList<QByteArray> parts = line.mid(prefix.size()).simplified().split(' ');
            return parts.value(0).toDouble() / 1024.0;
        }
    }
    return -1;
}

} // namespace

double ProcessFigures::peakMemoryMiB() {
    return statusFieldMiB("VmHWM");
}

void ProcessFigures::resetPeakMemory() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

double ProcessFigures::residentMemoryMiB() {
    return statusFieldMiB("VmRSS");
}

int ProcessFigures::openFileDescriptors() {
    // The listing itself holds one descriptor while it runs.
    const QStringList entries =
        QDir(QStringLiteral("/proc/self/fd"))
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    return int(entries.size()) - 1;
}

double ProcessFigures::threadUserSeconds() {
    return seconds(threadUsage().ru_utime);
}

double ProcessFigures::threadSystemSeconds() {
    return seconds(threadUsage().ru_stime);
}

Figures::Figures(const QString &benchmark) : m_benchmark(benchmark) {
    QFile load(QStringLiteral("/proc/loadavg"));
    const QByteArray average =
        load.open(QIODevice::ReadOnly) ? load.readAll().split(' ').mid(0, 3).join(' ') : "?";
    std::printf("== %s (load average %s)\n", qPrintable(benchmark), average.constData());
}

void Figures::info(const QString &name, const QString &value) const {
    std::printf("  %s: %s\n", qPrintable(name), qPrintable(value));
    std::fflush(stdout);
}

bool Figures::target(const QString &name, const QString &value, bool met,
                     const QString &goal) const {
    std::printf("  %-8s %s %s: %s (target %s)\n", met ? "[met]" : "[MISSED]",
                qPrintable(m_benchmark), qPrintable(name), qPrintable(value), qPrintable(goal));
    std::fflush(stdout);
    return met;
}

QString Figures::number(double value, int decimals) {
    return QString::number(value, 'f', decimals);
}

double Figures::percentile(const std::vector<double> &sorted, double fraction) {
    const auto rank = std::size_t(std::ceil(fraction * double(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<std::size_t>(rank, 1)) - 1];
}

double Figures::median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
