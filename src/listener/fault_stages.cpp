#include "listener/fault_stages.h"

#include <algorithm>
#include <cmath>
#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr qint64 Never = std::numeric_limits<qint64>::max();
// What a capped rate lets through at once after a pause: a twentieth of a second's worth, and
// never less than the datagram that waits (a stream's piece is split instead).
constexpr double BurstShare = 0.05;

quint64 s_lastStage = 0;

// Each piece waits a time drawn within a range, in order: a later one never overtakes.
class DelayStage final : public FaultStage {
public:
    static constexpr qint64 SlackUs = 500;

    DelayStage(QString name, QString action, StageContext &context, double toxicity, qint64 minUs,
               qint64 maxUs)
        : FaultStage(std::move(name), std::move(action), context, toxicity), m_minUs(minUs),
          m_maxUs(maxUs) {}

    std::pair<qint64, QString> draw(const WayPiece &) override {
        const qint64 delay =
            m_minUs
            + (m_maxUs > m_minUs ? qint64(m_context.random->bounded(quint64(m_maxUs - m_minUs + 1)))
                                 : 0);
        return {delay, u"latency %1 ms"_s.arg(delay / 1000)};
    }
    void take(WayPiece &&piece) override {
        const qint64 delay = drawOf(piece);
        if (delay == Spared) {
            pass(std::move(piece));
            return;
        }
        act();
        const qint64 now = m_context.nowUs();
        m_lastDue = std::max(m_lastDue, now + delay);
        if (m_waiting.empty() && m_lastDue <= now)
            pass(std::move(piece));
        else
            hold(m_lastDue, std::move(piece));
    }
    // A timer wakes up to a millisecond late: a piece due within half of one goes now, so that
    // each waits its latency give or take half a millisecond rather than up to one more.
    qint64 release() override {
        const qint64 next = releaseDue(SlackUs);
        if (next < 0)
            m_lastDue = 0;
        return next < 0 ? next : next - SlackUs;
    }
    bool waitsForTime() const override { return true; }

private:
    const qint64 m_minUs;
    const qint64 m_maxUs;
    qint64 m_lastDue = 0;
};

// At most so many bytes a second: a stream's piece is split where the allowance ends, a datagram
// waits whole.
class RateStage final : public FaultStage {
public:
    RateStage(QString name, QString action, StageContext &context, qint64 bytesPerSecond)
        : FaultStage(std::move(name), std::move(action), context), m_rate(double(bytesPerSecond)) {
        m_allowanceAt = context.nowUs();
    }

    void take(WayPiece &&piece) override {
        act();
        hold(0, std::move(piece));
        release();
    }
    qint64 release() override {
        const qint64 now = m_context.nowUs();
        const double smallest = m_context.datagrams && !m_waiting.empty()
                                    ? double(m_waiting.front().piece.data.size())
                                    : 1.0;
        const double most = std::max(m_rate * BurstShare, smallest);
        m_allowance = std::min(most, m_allowance + double(now - m_allowanceAt) * m_rate / 1e6);
        m_allowanceAt = now;
        while (!m_waiting.empty()) {
            WayPiece &front = m_waiting.front().piece;
            const qsizetype size = front.data.size();
            const qsizetype allowed = qsizetype(std::floor(m_allowance));
            if (allowed < (m_context.datagrams ? size : std::min<qsizetype>(size, 1))) {
                const double need = double(m_context.datagrams ? size : 1) - m_allowance;
                return now + std::max<qint64>(1000, qint64(std::ceil(need * 1e6 / m_rate)));
            }
            const qsizetype part = std::min(size, allowed);
            m_allowance -= double(part);
            m_held -= part;
            if (part == size) {
                WayPiece whole = std::move(front);
                m_waiting.pop_front();
                pass(std::move(whole));
            } else {
                WayPiece first{front.data.left(part), front.draws};
                front.data.remove(0, part);
                pass(std::move(first));
            }
        }
        return -1;
    }

private:
    const double m_rate;
    double m_allowance = 0;
    qint64 m_allowanceAt = 0;
};

// Each piece in slices of about the average size, a delay apart. A slice is cut only when it is
// due, so a waiting piece costs no more than its bytes, however small the slices.
class SliceStage final : public FaultStage {
public:
    SliceStage(QString name, QString action, StageContext &context, double toxicity, qint64 average,
               qint64 variation, qint64 delayUs)
        : FaultStage(std::move(name), std::move(action), context, toxicity), m_average(average),
          m_variation(variation), m_delayUs(delayUs) {}

    void take(WayPiece &&piece) override {
        if (drawOf(piece) == Spared || piece.data.isEmpty()) {
            pass(std::move(piece));
            return;
        }
        act();
        hold(std::max(m_context.nowUs(), m_nextDue), std::move(piece));
    }
    qint64 release() override {
        const qint64 now = m_context.nowUs();
        while (!m_waiting.empty() && m_waiting.front().dueUs <= now) {
            Waiting &front = m_waiting.front();
            qint64 size = m_average;
            if (m_variation > 0)
                size +=
                    qint64(m_context.random->bounded(quint64(2 * m_variation + 1))) - m_variation;
            size = std::clamp<qint64>(size, 1, front.piece.data.size() - m_offset);
            WayPiece slice{front.piece.data.mid(qsizetype(m_offset), qsizetype(size)),
                           front.piece.draws};
            m_offset += size;
            m_held -= size;
            m_nextDue = front.dueUs + m_delayUs;
            if (m_offset == front.piece.data.size()) {
                m_waiting.pop_front();
                m_offset = 0;
                if (!m_waiting.empty())
                    m_waiting.front().dueUs = std::max(m_waiting.front().dueUs, m_nextDue);
            } else {
                front.dueUs = m_nextDue;
            }
            pass(std::move(slice));
        }
        return m_waiting.empty() ? -1 : m_waiting.front().dueUs;
    }
    std::deque<WayPiece> takeWaiting() override {
        if (!m_waiting.empty())
            m_waiting.front().piece.data.remove(0, qsizetype(std::exchange(m_offset, 0)));
        return FaultStage::takeWaiting();
    }

private:
    const qint64 m_average;
    const qint64 m_variation;
    const qint64 m_delayUs;
    qint64 m_offset = 0; // into the first waiting piece
    qint64 m_nextDue = 0;
};

// Nothing passes: a stream's bytes wait (its sender is held back once they fill the way), a
// datagram is dropped. What waits goes on once the fault is taken away.
class HoldStage final : public FaultStage {
public:
    using FaultStage::FaultStage;

    std::pair<qint64, QString> draw(const WayPiece &) override {
        return {0, m_context.datagrams ? u"dropped by timeout"_s : u"held by timeout"_s};
    }
    void take(WayPiece &&piece) override {
        if (drawOf(piece) == Spared) {
            pass(std::move(piece));
            return;
        }
        act();
        if (m_context.datagrams)
            m_context.dropped();
        else
            hold(Never, std::move(piece));
    }
};

// The way ends once so many bytes passed here; the piece that reaches the count is cut to it.
class LimitStage final : public FaultStage {
public:
    LimitStage(QString name, QString action, StageContext &context, qint64 limit, qint64 passed)
        : FaultStage(std::move(name), std::move(action), context), m_limit(limit),
          m_passed(passed) {}

    void take(WayPiece &&piece) override {
        if (m_reached)
            return;
        if (m_passed + piece.data.size() >= m_limit) {
            piece.data.truncate(qsizetype(std::max<qint64>(0, m_limit - m_passed)));
            m_reached = true;
            act();
        }
        m_passed += piece.data.size();
        if (!piece.data.isEmpty() || !m_reached)
            pass(std::move(piece));
        if (m_reached)
            m_context.cut(name(), action());
    }

private:
    const qint64 m_limit;
    qint64 m_passed;
    bool m_reached = false;
};

} // namespace

FaultStage::FaultStage(QString name, QString action, StageContext &context, double toxicity)
    : m_context(context), m_name(std::move(name)), m_action(std::move(action)),
      m_toxicity(toxicity), m_id(++s_lastStage) {}

FaultStage::~FaultStage() = default;

bool FaultStage::spares() {
    return m_context.datagrams && m_toxicity < 1.0
           && m_context.random->generateDouble() >= m_toxicity;
}

QString FaultStage::drawFor(WayPiece &piece) {
    auto [value, words] = spares() ? std::pair<qint64, QString>{Spared, {}} : draw(piece);
    piece.draws.push_back({m_id, value});
    return words;
}

qint64 FaultStage::drawOf(const WayPiece &piece) {
    for (const PieceDraw &draw : piece.draws) {
        if (draw.stage == m_id)
            return draw.value;
    }
    return spares() ? Spared : draw(piece).first;
}

void FaultStage::hold(qint64 dueUs, WayPiece &&piece) {
    m_held += piece.data.size();
    m_waiting.push_back({dueUs, std::move(piece)});
}

qint64 FaultStage::releaseDue(qint64 earlyUs) {
    const qint64 now = m_context.nowUs() + earlyUs;
    while (!m_waiting.empty() && m_waiting.front().dueUs <= now) {
        WayPiece piece = std::move(m_waiting.front().piece);
        m_waiting.pop_front();
        m_held -= piece.data.size();
        pass(std::move(piece));
    }
    return m_waiting.empty() ? -1 : m_waiting.front().dueUs;
}

std::deque<WayPiece> FaultStage::takeWaiting() {
    std::deque<WayPiece> pieces;
    for (Waiting &waiting : m_waiting)
        pieces.push_back(std::move(waiting.piece));
    m_waiting.clear();
    m_held = 0;
    return pieces;
}

std::unique_ptr<FaultStage> makeStage(const Fault &fault, StageContext &context) {
    const FaultKindInfo &info = faultKindInfo(fault.kind);
    if (context.datagrams ? !info.datagrams : !info.streams)
        return nullptr;
    const auto v = [&fault](const char16_t *name) { return fault.value(name); };
    const QString action = faultActionText(fault);
    const double toxicity = context.datagrams ? fault.toxicity : 1.0;
    switch (fault.kind) {
    case FaultKind::Latency: {
        const qint64 latency = v(u"latency") * 1000;
        const qint64 jitter = v(u"jitter") * 1000;
        return std::make_unique<DelayStage>(fault.name, action, context, toxicity,
                                            std::max<qint64>(0, latency - jitter),
                                            latency + jitter);
    }
    case FaultKind::Bandwidth: // 0 leaves the way alone
        if (v(u"rate") == 0)
            return nullptr;
        return std::make_unique<RateStage>(fault.name, action, context, v(u"rate") * 1000);
    case FaultKind::Slicer:
        return std::make_unique<SliceStage>(fault.name, action, context, toxicity,
                                            v(u"average_size"), v(u"size_variation"), v(u"delay"));
    case FaultKind::Timeout:
        return std::make_unique<HoldStage>(fault.name, action, context, toxicity);
    case FaultKind::LimitData:
        return std::make_unique<LimitStage>(fault.name, action, context, v(u"bytes"), 0);
    case FaultKind::Loss:
    case FaultKind::Duplicate:
    case FaultKind::Reorder:
    case FaultKind::Corrupt:
        return makeDatagramStage(fault, context);
    case FaultKind::Down:
    case FaultKind::SlowClose:
    case FaultKind::ResetPeer:
        break;
    }
    return nullptr;
}

std::unique_ptr<FaultStage> makeDelayStage(int minMs, int maxMs, StageContext &context) {
    return std::make_unique<DelayStage>(QString(), QString(), context, 1.0, qint64(minMs) * 1000,
                                        qint64(maxMs) * 1000);
}

std::unique_ptr<FaultStage> makeRateStage(qint64 bytesPerSecond, StageContext &context) {
    return std::make_unique<RateStage>(QString(), QString(), context, bytesPerSecond);
}

std::unique_ptr<FaultStage> makeLimitStage(qint64 limit, qint64 passed, StageContext &context) {
    return std::make_unique<LimitStage>(QString(), QString(), context, limit, passed);
}
