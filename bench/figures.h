#pragma once

#include <QString>

#include <vector>

// What the process costs right now, read from /proc/self.
struct ProcessFigures {
    static double peakMemoryMiB(); // VmHWM
    // Starts VmHWM afresh from what is resident now (reading a mapped log raises it).
    static void resetPeakMemory();
    static double residentMemoryMiB(); // VmRSS
    static int openFileDescriptors();
    // CPU seconds the calling thread has used so far, user and system.
    static double threadUserSeconds();
    static double threadSystemSeconds();
};

// Prints one benchmark's figures. A target line starts with "[met]" or "[MISSED]", which
// run.sh collects into its closing summary.
class Figures {
public:
    explicit Figures(const QString &benchmark);

    void info(const QString &name, const QString &value) const;
    // Returns `met` so callers can go on deciding from it.
    bool target(const QString &name, const QString &value, bool met, const QString &goal) const;

    static QString number(double value, int decimals = 1);
    // The value below which `fraction` of the sorted, non-empty values lie (nearest rank).
    static double percentile(const std::vector<double> &sorted, double fraction);
    // The middle value (the upper one of an even count); 0 for none.
    static double median(std::vector<double> values);

private:
    QString m_benchmark;
};
