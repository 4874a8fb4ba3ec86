#include "window/relay_fields.h"

#include "window/fault_list.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

namespace {

using FaultParse = QString (*)(const QString &, LinkFaults &);
constexpr std::array<FaultParse, 4> Parses{parseDelay, parseDropPercent, parseRate, parseCut};
const std::array<QString, 4> Names{QStringLiteral("Delay (ms or ms-ms)"),
                                   QStringLiteral("UDP drop (%)"), QStringLiteral("Rate (bytes/s)"),
                                   QStringLiteral("Cut TCP after (bytes)")};

std::array<QString, 4> faultTexts(const LinkFaults &faults) {
    const auto shown = [](qint64 value) { return value > 0 ? QString::number(value) : QString(); };
    return {faults.delayMaxMs > 0 ? delayText(faults) : QString(), shown(faults.dropPercent),
            shown(faults.ratePerSecond), shown(faults.cutAfter)};
}

} // namespace

RelayFields::RelayFields(const RelayOptions &options, bool datagrams, QWidget *parent)
    : QGroupBox(QStringLiteral("Relay"), parent) {
    setObjectName(QStringLiteral("relay"));
    auto *grid = new QGridLayout(this);
    m_target = new QLineEdit(options.active() ? options.targetText() : QString(), this);
    m_target->setObjectName(QStringLiteral("relayTarget"));
    m_target->setPlaceholderText(QStringLiteral("off, or HOST:PORT"));
    auto *targetLabel = new QLabel(QStringLiteral("&Pass peers on to:"), this);
    targetLabel->setBuddy(m_target);
    grid->addWidget(targetLabel, 0, 0);
    grid->addWidget(m_target, 0, 1, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Peer to target"), this), 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Target to peer"), this), 1, 2);
    for (int way = 0; way < 2; ++way) {
        const std::array<QString, 4> texts = faultTexts(way == 0 ? options.up : options.down);
        for (int fault = 0; fault < FaultCount; ++fault) {
            auto *field = new QLineEdit(texts[std::size_t(fault)], this);
            field->setObjectName(
                QStringLiteral("relayFault%1%2")
                    .arg(fault)
                    .arg(way == 0 ? QStringLiteral("Up") : QStringLiteral("Down")));
            field->setPlaceholderText(QStringLiteral("off"));
            field->setAccessibleName(Names[std::size_t(fault)]
                                     + (way == 0 ? QStringLiteral(", peer to target")
                                                 : QStringLiteral(", target to peer")));
            m_faults[std::size_t(way)][std::size_t(fault)] = field;
            grid->addWidget(field, 2 + fault, 1 + way);
        }
    }
    for (int fault = 0; fault < FaultCount; ++fault)
        grid->addWidget(new QLabel(Names[std::size_t(fault)], this), 2 + fault, 0);
    // The peers' side is secured with the listener's own TLS; the target's with the client's.
    m_targetTls =
        new QCheckBox(QStringLiteral("T&LS to the target (TCP, the client's TLS options)"), this);
    m_targetTls->setObjectName(QStringLiteral("relayTargetTls"));
    m_targetTls->setChecked(options.targetTls);
    grid->addWidget(m_targetTls, 2 + FaultCount, 0, 1, 3);
    m_named = new FaultList(options.faults, datagrams, this);
    auto *namedLabel = new QLabel(QStringLiteral("Named &faults, in the order they act:"), this);
    namedLabel->setBuddy(m_named);
    grid->addWidget(namedLabel, 3 + FaultCount, 0, 1, 3);
    grid->addWidget(m_named, 4 + FaultCount, 0, 1, 3);
}

QString RelayFields::read(RelayOptions &options) const {
    RelayOptions chosen = options;
    if (m_target->text().trimmed().isEmpty()) {
        chosen.targetHost.clear();
        chosen.targetPort = 0;
    } else if (const QString error = parseRelayTarget(m_target->text(), chosen); !error.isEmpty()) {
        return QStringLiteral("Relay target: ") + error;
    }
    for (int way = 0; way < 2; ++way) {
        LinkFaults faults;
        for (int fault = 0; fault < FaultCount; ++fault) {
            const QString text = m_faults[std::size_t(way)][std::size_t(fault)]->text().trimmed();
            if (text.isEmpty())
                continue;
            if (const QString error = Parses[std::size_t(fault)](text, faults); !error.isEmpty())
                return Names[std::size_t(fault)] + QStringLiteral(": ") + error;
        }
        (way == 0 ? chosen.up : chosen.down) = faults;
    }
    chosen.targetTls = m_targetTls->isChecked();
    chosen.faults = m_named->faults();
    options = chosen;
    return {};
}
