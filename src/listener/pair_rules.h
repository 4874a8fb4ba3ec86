#pragma once

#include "respond/auto_responder.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

#include <vector>

class Form;
struct PairOptions;

// A match mode as the watch box's Match menu names it: "Exactly", "Contains" and so on.
QString matchModeCaption(MatchMode mode);
// What a pair's watch box tells of options away from the defaults, e.g. "Match: Contains;
// response as hex; no line end; delay 500 ms"; empty for a pair at the defaults.
QString pairOptionsSummary(const PairOptions &options);

// The form's auto-respond rules: the seven pairs, then the extra rules, each compiled when it
// changes, never per chunk. A pair whose watch or response cannot be compiled shows it in red
// with the reason as its tool tip; otherwise the watch box's tip tells its options.
class PairRules {
public:
    explicit PairRules(Form &form);

    void pairChanged(int pair);
    void extraRulesChanged();

    // Every rule's answer to the chunk, in rule order. The answers each rule has sent count
    // from the listener's `listenSession` on, that is since Start; a pattern that gives up is
    // told once on the sendrel.net category.
    QList<Answer> answersFor(QByteArrayView chunk, const QDateTime &now, const QString &peer,
                             quint64 listenSession);

private:
    Form &m_form;
    AutoResponder m_responder;
    std::vector<qint64> m_sent;
    quint64 m_countedSession = 0;
};
