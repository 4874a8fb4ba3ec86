#pragma once

#include "model/pair_count.h"
#include "respond/auto_responder.h"

#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QString>

#include <array>
#include <vector>

class Configuration;
class Form;
struct PairOptions;

// A match mode as the watch box's Match menu names it: "Exactly", "Contains" and so on.
QString matchModeCaption(MatchMode mode);
// What a pair's watch box tells of options away from the defaults, e.g. "Match: Contains;
// response as hex; no line end; delay 500 ms"; empty for a pair at the defaults.
QString pairOptionsSummary(const PairOptions &options);

// A pair's check: why its watch or its response cannot be compiled (empty when it can), and
// what its watch box tells of its options.
struct PairCheck {
    QString watchError;
    QString responseError;
    QString optionsSummary;
};

// The form's auto-respond rules: the seven pairs, then the extra rules, each compiled when it
// changes, never per chunk. Each pair's check is announced as it is compiled.
class PairRules final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PairRules)

public:
    PairRules(Form &form, const Configuration &configuration);

    void pairChanged(int pair);
    void extraRulesChanged();

    // Every rule's answer to the chunk, in rule order. The answers each rule has sent count
    // from the listener's `listenSession` on, that is since Start; a pattern that gives up is
    // told once on the sendrel.net category.
    QList<Answer> answersFor(QByteArrayView chunk, const QDateTime &now, const QString &peer,
                             quint64 listenSession);

    const PairCheck &check(int pair) const { return m_checks[std::size_t(pair)]; }

signals:
    void pairChecked(int pair);

private:
    Form &m_form;
    const Configuration &m_configuration;
    AutoResponder m_responder;
    std::vector<qint64> m_sent;
    std::array<PairCheck, PairCount> m_checks;
    quint64 m_countedSession = 0;
};
