#pragma once

#include "settings/packet_entry.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// The packet file: one [section] per packet or sequence, names case-sensitive and unique.
//   [name]
//   hex = yes                 ; optional: data is hex pairs with tokens between them
//   data = TEXT               ; the rest of the line, ';' included
//   to = tcp HOST:PORT        ; or udp HOST:PORT, or peer
//   step1 = send NAME         ; a sequence: steps in number order, then
//   repeat = N                ; optional, 0: until stopped
//   pin = N                   ; optional, 1-9: Alt+N runs it
// A section that cannot be used is reported with its line and skipped; it stays in the file as it
// was, as do comments and every section no edit touched. The file is written only when an edit
// changed it, atomically, as UTF-8.
class PacketBook {
public:
    // Sendrel_Packets.ini in the folder of `settingsFile`.
    static QString besideSettings(const QString &settingsFile);

    // A missing file is an empty book. False, with `problem` saying why, when the file exists but
    // cannot be read or is no text; the book is then empty and save() refuses.
    bool load(const QString &path, QString *problem = nullptr);
    // The text of a packet file, as load() reads it (the path only names it in the problems).
    void read(const QString &text);
    QString path() const { return m_path; }

    // Each section that could not be used: "FILE line N: [name] REASON", where N is the line of
    // the key at fault, or of the section's name.
    const QStringList &problems() const { return m_problems; }
    QList<PacketEntry> entries() const;
    const PacketEntry *find(const QString &name) const;

    // Adds `entry`, or replaces the entry named `replacing` (its name when empty) in its place.
    // False, with `error`, for a name that is not valid or is taken by another section, or a
    // sequence step that sends no packet of the book, TLS without a tcp target, or hex data that
    // is not hex pairs.
    bool put(const PacketEntry &entry, const QString &replacing = {}, QString *error = nullptr);
    bool remove(const QString &name);
    // Writes the book when an edit changed it; false, the file left as it was, when that fails.
    bool save(QString *problem = nullptr);
    QString text() const;

    // The section's lines, as put() writes them.
    static QString sectionText(const PacketEntry &entry);

private:
    struct Section {
        QString name;
        QString raw; // its lines as read, comments after it included
        int line = 0;
        std::optional<PacketEntry> entry;
    };
    // What a section's keys said so far.
    struct Reading {
        PacketEntry entry;
        QMap<int, SequenceStep> steps;
        bool hasData = false;
        bool hasRepeat = false;
        int dataLine = 0;
        int tlsLine = 0; // of tls = yes, which needs a tcp target
    };
    std::optional<PacketEntry> parse(const Section &section, int &line, QString &error) const;
    QString readKey(Reading &r, const QString &key, const QString &value, int i) const;
    std::optional<PacketEntry> finished(Reading &r, int &line, QString &error) const;
    qsizetype indexOf(const QString &name) const;
    QString checkSteps(const PacketEntry &entry) const;

    QString m_path;
    bool m_loaded = true;
    QString m_preamble;
    QList<Section> m_sections;
    QStringList m_problems;
};
