#include "listener/fault_stages.h"

using namespace Qt::Literals::StringLiterals;

namespace {

bool chance(QRandomGenerator *random, qint64 percent) {
    return percent > 0 && random->generateDouble() * 100.0 < double(percent);
}

// Datagrams lost at random, alone, with a correlation to the last, or in bursts (Gilbert-Elliott:
// p the chance to turn bad, r to turn good again; every datagram is lost while bad).
class LossStage final : public FaultStage {
public:
    LossStage(QString name, QString action, StageContext &context, double toxicity, qint64 percent,
              qint64 correlation = 0, qint64 p = 0, qint64 r = 0)
        : FaultStage(std::move(name), std::move(action), context, toxicity), m_percent(percent),
          m_correlation(correlation), m_p(p), m_r(r) {}

    std::pair<qint64, QString> draw(const WayPiece &) override {
        bool lost = false;
        if (m_p > 0) {
            m_bad = m_bad ? !chance(m_context.random, m_r) : chance(m_context.random, m_p);
            lost = m_bad;
        } else if (m_correlation > 0) {
            const double c = double(m_correlation) / 100.0;
            m_last = c * m_last + (1.0 - c) * m_context.random->generateDouble();
            lost = m_last * 100.0 < double(m_percent);
        } else {
            lost = chance(m_context.random, m_percent);
        }
        return {lost ? 1 : 0, lost ? u"dropped by loss"_s : QString()};
    }
    void take(WayPiece &&piece) override {
        if (drawOf(piece) == 1) {
            act();
            m_context.dropped();
            return;
        }
        pass(std::move(piece));
    }

private:
    const qint64 m_percent;
    const qint64 m_correlation;
    const qint64 m_p;
    const qint64 m_r;
    bool m_bad = false;
    double m_last = 0;
};

class DuplicateStage final : public FaultStage {
public:
    DuplicateStage(QString name, QString action, StageContext &context, double toxicity,
                   qint64 percent)
        : FaultStage(std::move(name), std::move(action), context, toxicity), m_percent(percent) {}

    std::pair<qint64, QString> draw(const WayPiece &) override {
        const bool twice = chance(m_context.random, m_percent);
        return {twice ? 1 : 0, twice ? u"duplicated"_s : QString()};
    }
    void take(WayPiece &&piece) override {
        if (drawOf(piece) == 1 && m_context.room(piece.data.size())) {
            act();
            pass(WayPiece(piece));
        }
        pass(std::move(piece));
    }

private:
    const qint64 m_percent;
};

// Some datagrams held back a while; the others pass them.
class ReorderStage final : public FaultStage {
public:
    ReorderStage(QString name, QString action, StageContext &context, double toxicity,
                 qint64 percent, qint64 delayUs)
        : FaultStage(std::move(name), std::move(action), context, toxicity), m_percent(percent),
          m_delayUs(delayUs) {}

    std::pair<qint64, QString> draw(const WayPiece &) override {
        const bool held = chance(m_context.random, m_percent);
        return {held ? 1 : 0, held ? u"held back %1 ms"_s.arg(m_delayUs / 1000) : QString()};
    }
    void take(WayPiece &&piece) override {
        if (drawOf(piece) != 1) {
            pass(std::move(piece));
            return;
        }
        act();
        hold(m_context.nowUs() + m_delayUs, std::move(piece));
    }
    qint64 release() override { return releaseDue(); }

private:
    const qint64 m_percent;
    const qint64 m_delayUs;
};

// One bit of some datagrams flipped, at a place drawn within the datagram.
class CorruptStage final : public FaultStage {
public:
    CorruptStage(QString name, QString action, StageContext &context, double toxicity,
                 qint64 percent)
        : FaultStage(std::move(name), std::move(action), context, toxicity), m_percent(percent) {}

    std::pair<qint64, QString> draw(const WayPiece &piece) override {
        if (piece.data.isEmpty() || !chance(m_context.random, m_percent))
            return {-2, {}};
        const auto bit = qint64(m_context.random->bounded(quint64(piece.data.size()) * 8));
        return {bit, u"bit %1 flipped"_s.arg(bit)};
    }
    void take(WayPiece &&piece) override {
        const qint64 bit = drawOf(piece);
        if (bit >= 0 && bit < qint64(piece.data.size()) * 8) {
            act();
            piece.data[qsizetype(bit / 8)] ^= char(1 << (bit % 8));
        }
        pass(std::move(piece));
    }

private:
    const qint64 m_percent;
};

} // namespace

std::unique_ptr<FaultStage> makeDatagramStage(const Fault &fault, StageContext &context) {
    const auto v = [&fault](const char16_t *name) { return fault.value(name); };
    const QString action = faultActionText(fault);
    switch (fault.kind) {
    case FaultKind::Loss:
        return std::make_unique<LossStage>(fault.name, action, context, fault.toxicity,
                                           v(u"percent"), v(u"correlation"), v(u"p"), v(u"r"));
    case FaultKind::Duplicate:
        return std::make_unique<DuplicateStage>(fault.name, action, context, fault.toxicity,
                                                v(u"percent"));
    case FaultKind::Reorder:
        return std::make_unique<ReorderStage>(fault.name, action, context, fault.toxicity,
                                              v(u"percent"), v(u"delay") * 1000);
    case FaultKind::Corrupt:
        return std::make_unique<CorruptStage>(fault.name, action, context, fault.toxicity,
                                              v(u"percent"));
    default:
        return nullptr;
    }
}

std::unique_ptr<FaultStage> makeDropStage(int percent, StageContext &context) {
    return std::make_unique<LossStage>(QString(), QString(), context, 1.0, percent);
}
