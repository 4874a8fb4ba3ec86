#include "cli/headless_run.h"

#include "program/program.h"
#include "sender/packets.h"

#include <QEventLoop>

using namespace Qt::Literals::StringLiterals;

// Saved packets without a screen: list them, send one, or run a sequence to its end.

int HeadlessRun::runPackets() {
    Packets &packets = m_program->packets();
    if (!packets.loadProblem().isEmpty()) {
        printLine(u"The packets could not be read from %1: %2."_s.arg(packets.book().path(),
                                                                      packets.loadProblem()),
                  true);
        return 1;
    }
    for (const QString &problem : packets.book().problems())
        printLine(problem, true);
    if (m_line.listPackets)
        return listPackets();

    const QString name = m_line.sequenceName.isEmpty() ? m_line.packetName : m_line.sequenceName;
    const PacketEntry *entry = packets.book().find(name);
    QString why;
    if (!entry || entry->isSequence() != !m_line.sequenceName.isEmpty())
        why = m_line.sequenceName.isEmpty() ? u"There is no packet named %1."_s.arg(name)
                                            : u"There is no sequence named %1."_s.arg(name);
    // --tls: the client options verify the tls packets, and make --to a tls target.
    if (m_line.tls)
        m_program->configuration().setClientTls(*m_line.tls);
    std::optional<PacketTarget> to;
    if (!m_line.sendHost.isEmpty())
        to = PacketTarget{m_line.tcp.value_or(true) ? PacketTarget::Kind::Tcp
                                                    : PacketTarget::Kind::Udp,
                          m_line.sendHost, m_line.sendPort, m_line.tls.has_value()};
    QEventLoop loop;
    bool passed = false;
    QString result;
    connect(&packets, &Packets::finished, &loop,
            [&](const QString &, bool ok, const QString &line) {
                passed = ok;
                result = line;
                loop.quit();
            });
    connect(&packets, &Packets::stepStarted, &loop,
            [this](const QString &, int step, int pass, const QString &text) {
                if (m_line.verbose)
                    printLine(u"Step %1 (pass %2): %3"_s.arg(step + 1).arg(pass + 1).arg(text),
                              false);
            });
    if (!why.isEmpty() || !packets.run(name, to, &why)) {
        printLine(why, true);
        return 1;
    }
    if (packets.running())
        loop.exec();
    // What the run handed over leaves before the process ends, within --wait.
    waitUntil(
        &packets, &Packets::deliveryProgressed, [&packets] { return !packets.delivering(); },
        m_line.waitMs);
    if (!passed || !m_line.quiet)
        printLine(m_line.sequenceName.isEmpty() && passed ? u"Sent %1."_s.arg(name) : result,
                  !passed);
    return passed ? 0 : 1;
}

// One line per packet or sequence: its name, its target and what it sends, tab-separated.
int HeadlessRun::listPackets() {
    QByteArray list;
    for (const PacketEntry &entry : m_program->packets().book().entries())
        list += (entry.name + u'\t' + entry.to.label() + u'\t' + entry.preview() + u'\n').toUtf8();
    writeChunk(list);
    return flushStdout(m_line.waitMs) ? 0 : 1;
}
