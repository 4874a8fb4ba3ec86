#pragma once

#include "model/fault.h"

#include <QStringList>
#include <QtGlobal>

// A fault as its one line of text gives it; a line that does not read ends the test run.
inline Fault faultOf(const QString &line) {
    Fault fault;
    const QString problem = parseFault(line, fault);
    if (!problem.isEmpty())
        qFatal("%s: %s", qPrintable(line), qPrintable(problem));
    return fault;
}

inline QList<Fault> faultsOf(const QStringList &lines) {
    QList<Fault> faults;
    for (const QString &line : lines)
        faults.append(faultOf(line));
    return faults;
}
