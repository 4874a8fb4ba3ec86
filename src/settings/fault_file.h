#pragma once

#include "model/fault.h"

#include <QList>
#include <QString>

// The faults file: one [NAME] section per named fault of the relay, in the order they stack.
//   [slow]
//   type = latency            ; a kind of faultKinds()
//   stream = downstream       ; or upstream: from the listener's peer to the target
//   toxicity = 0.5            ; optional, 0 to 1 (1)
//   enabled = yes             ; optional (yes)
//   latency = 120             ; the kind's attributes, each optional (0)
//   jitter = 10
//   after_mode = contains     ; optional, as a pair's match mode (exact)
//   after = LOGIN             ; optional: the fault starts once a chunk matches it
// The file is taken whole or not at all: its first problem is told as "FILE line N: [NAME] WHY"
// and no fault of it is used. A save writes every fault, keeping the lines before the first one.
class FaultFile {
public:
    // A file of Fault::MaxFaults faults is a few KiB; more is no faults file.
    static constexpr qsizetype MaxBytes = 64 * 1024;

    // Sendrel_Faults.ini in the folder of `settingsFile`.
    static QString besideSettings(const QString &settingsFile);

    // A missing file has no faults. False, with `problem` naming the file and saying why, when
    // the file cannot be read or holds a fault that cannot be used; faults() is then empty and
    // save() refuses.
    bool load(const QString &path, QString *problem = nullptr);
    QString path() const { return m_path; }
    const QList<Fault> &faults() const { return m_faults; }
    // The faults of a file's `text`, or nothing with `problem` ("line N: [NAME] WHY").
    static std::optional<QList<Fault>> read(const QString &text, QString &problem);

    // Writes `faults` (which check()) in one atomic replacement of the file.
    bool save(const QList<Fault> &faults, QString *problem = nullptr);
    QString text(const QList<Fault> &faults) const;

    // What keeps a list out of the file: too many, a name twice, a fault of no use over the
    // links its kind works on. Empty when nothing does.
    static QString check(const QList<Fault> &faults);
    static QString sectionText(const Fault &fault);

private:
    QString m_path;
    QString m_preamble;
    QList<Fault> m_faults;
    bool m_loaded = true;
};
