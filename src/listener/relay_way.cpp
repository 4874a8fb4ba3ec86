#include "listener/relay_way.h"

#include "listener/relay_budget.h"

#include <QStringList>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

RelayWay::RelayWay(bool datagrams, Deliver deliver, std::shared_ptr<RelayBudget> budget,
                   QObject *parent)
    : QObject(parent), m_datagrams(datagrams), m_deliver(std::move(deliver)),
      m_budget(std::move(budget)), m_random(QRandomGenerator::securelySeeded()) {
    m_clock.start();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { pump(true); });
}

RelayWay::~RelayWay() {
    m_slots.clear();
    m_held = 0;
    m_pieces = 0;
    settle();
}

void RelayWay::settle() {
    if (m_budget)
        m_budget->redraw(m_drawn, cost());
}

std::unique_ptr<StageContext> RelayWay::newContext() {
    auto context = std::make_unique<StageContext>();
    StageContext *self = context.get();
    context->next = [this, self](WayPiece &&piece) { enter(self->position + 1, std::move(piece)); };
    context->nowUs = [this] { return nowUs(); };
    context->dropped = [this] {
        if (m_pushing)
            m_droppedNow = true;
        else
            emit droppedLater();
    };
    context->room = [this](qint64 bytes) {
        return cost() + bytes + PieceOverhead <= DatagramBound
               && (!m_budget || m_budget->used() + bytes + PieceOverhead <= m_budget->total());
    };
    context->cut = [this](const QString &name, const QString &action) { cutHere(name, action); };
    context->random = &m_random;
    context->datagrams = m_datagrams;
    return context;
}

bool RelayWay::appliesHere(const Fault &fault, const QString &key) {
    if (m_datagrams || fault.toxicity >= 1.0)
        return true;
    return m_applies.try_emplace(key, m_random.generateDouble() < fault.toxicity).first->second;
}

auto RelayWay::stagesFor(const LinkFaults &faults, const QList<Fault> &named)
    -> std::vector<std::pair<QString, std::function<std::unique_ptr<FaultStage>(StageContext &)>>> {
    std::vector<std::pair<QString, std::function<std::unique_ptr<FaultStage>(StageContext &)>>>
        stages;
    if (m_datagrams && faults.dropPercent > 0)
        stages.emplace_back(u"drop %1"_s.arg(faults.dropPercent),
                            [percent = faults.dropPercent](StageContext &context) {
                                return makeDropStage(percent, context);
                            });
    if (faults.delayMaxMs > 0)
        stages.emplace_back(
            u"delay %1"_s.arg(delayText(faults)),
            [low = faults.delayMinMs, high = faults.delayMaxMs](StageContext &context) {
                return makeDelayStage(low, high, context);
            });
    if (faults.ratePerSecond > 0)
        stages.emplace_back(u"rate %1"_s.arg(faults.ratePerSecond),
                            [rate = faults.ratePerSecond](StageContext &context) {
                                return makeRateStage(rate, context);
                            });
    if (faults.cutAfter > 0)
        stages.emplace_back(u"cut %1"_s.arg(faults.cutAfter),
                            [this, cut = faults.cutAfter](StageContext &context) {
                                return makeLimitStage(cut, m_passed, context);
                            });
    for (const Fault &fault : named) {
        const QString key = faultLine(fault);
        if (appliesHere(fault, key))
            stages.emplace_back(
                key, [fault](StageContext &context) { return makeStage(fault, context); });
    }
    return stages;
}

void RelayWay::setFaults(const LinkFaults &faults, const QList<Fault> &named) {
    auto stages = stagesFor(faults, named);
    std::vector<Slot> old = std::exchange(m_slots, {});
    std::vector<int> placedAt(old.size(), -1);
    for (auto &[key, make] : stages) {
        const auto kept = std::find_if(old.begin(), old.end(), [&key](const Slot &slot) {
            return slot.stage && slot.key == key;
        });
        if (kept != old.end()) {
            placedAt[size_t(kept - old.begin())] = int(m_slots.size());
            m_slots.push_back(std::move(*kept));
            continue;
        }
        Slot slot{key, newContext(), nullptr};
        slot.stage = make(*slot.context);
        if (slot.stage)
            m_slots.push_back(std::move(slot));
    }
    for (size_t i = 0; i < m_slots.size(); ++i)
        m_slots[i].context->position = int(i);
    // What waits in a fault that went passes on to the next fault that stayed; the later a fault,
    // the earlier its bytes came, so those go first.
    for (size_t i = old.size(); i-- > 0;) {
        if (!old[i].stage)
            continue;
        int to = int(m_slots.size());
        for (size_t j = i + 1; j < old.size(); ++j) {
            if (placedAt[j] >= 0) {
                to = placedAt[j];
                break;
            }
        }
        for (WayPiece &piece : old[i].stage->takeWaiting())
            enter(to, std::move(piece));
    }
    old.clear();
    setTimed(named);
    // Only the faults still set keep their draw.
    std::map<QString, bool> applies;
    for (const Fault &fault : named) {
        const auto drawn = m_applies.find(faultLine(fault));
        if (drawn != m_applies.end())
            applies.insert(*drawn);
    }
    m_applies = std::move(applies);
    if (faults.cutAfter > 0 && m_passed >= faults.cutAfter && !m_cut)
        QTimer::singleShot(0, this, [this] { cutHere({}, {}); });
    pump(false);
}

void RelayWay::setTimed(const QList<Fault> &named) {
    std::vector<Timed> old = std::exchange(m_timed, {});
    for (const Fault &fault : named) {
        const FaultKindInfo &info = faultKindInfo(fault.kind);
        if (m_datagrams ? !info.datagrams : !info.streams)
            continue;
        const bool timed = fault.kind == FaultKind::ResetPeer
                           || (fault.kind == FaultKind::Timeout && fault.value(u"timeout") > 0);
        if (!timed && fault.kind != FaultKind::SlowClose)
            continue;
        const QString key = faultLine(fault);
        if (!appliesHere(fault, key))
            continue;
        const auto kept = std::find_if(old.begin(), old.end(), [&key](const Timed &t) {
            return !t.name.isEmpty() && t.key == key;
        });
        if (kept != old.end()) {
            m_timed.push_back(std::move(*kept));
            kept->name.clear(); // taken
            continue;
        }
        Timed entry{key, fault.name, nullptr, 0, 0};
        if (fault.kind == FaultKind::SlowClose) {
            entry.closeDelayMs = int(fault.value(u"delay"));
        } else {
            entry.timer = std::make_unique<QTimer>();
            entry.timer->setSingleShot(true);
            const bool reset = fault.kind == FaultKind::ResetPeer;
            const QString name = fault.name;
            const QString action = faultActionText(fault);
            connect(entry.timer.get(), &QTimer::timeout, this, [this, reset, name, action] {
                for (Timed &t : m_timed) {
                    if (t.name == name)
                        ++t.acts;
                }
                if (reset)
                    emit resetBy(name, action);
                else
                    cutHere(name, action);
            });
            entry.timer->start(int(fault.value(u"timeout")));
        }
        m_timed.push_back(std::move(entry));
    }
}

int RelayWay::delayClose() {
    int delay = 0;
    for (Timed &t : m_timed) {
        if (t.closeDelayMs > delay) {
            delay = t.closeDelayMs;
            ++t.acts;
        }
    }
    return delay;
}

void RelayWay::takeActs(QMap<QString, qint64> &acts) {
    for (Slot &slot : m_slots) {
        if (!slot.stage->name().isEmpty() && slot.stage->acts() > 0)
            acts[slot.stage->name()] += slot.stage->takeActs();
    }
    for (Timed &t : m_timed) {
        if (t.acts > 0)
            acts[t.name] += std::exchange(t.acts, 0);
    }
}

QString RelayWay::judge(WayPiece &piece) {
    if (m_slots.empty())
        return {};
    QStringList parts;
    for (Slot &slot : m_slots) {
        const QString words = slot.stage->drawFor(piece);
        if (!words.isEmpty() && !slot.stage->name().isEmpty())
            parts.append(slot.stage->name() + u": "_s + words);
    }
    return parts.join(u"; "_s);
}

bool RelayWay::push(const QByteArray &data) {
    return push(WayPiece{data, {}});
}

bool RelayWay::push(WayPiece &&piece) {
    if (m_cut)
        return false;
    if (m_slots.empty()) {
        deliver(piece.data);
        return true;
    }
    const qint64 pieceCost = piece.data.size() + PieceOverhead;
    if (m_datagrams
        && (cost() + pieceCost > DatagramBound || (m_budget && !m_budget->tryTake(pieceCost))))
        return false;
    if (m_datagrams)
        m_drawn += pieceCost; // drawn just now
    m_pushing = true;
    m_droppedNow = false;
    enter(0, std::move(piece));
    m_pushing = false;
    pump(false);
    return !m_droppedNow;
}

void RelayWay::enter(int index, WayPiece &&piece) {
    if (m_cut)
        return;
    if (index >= int(m_slots.size()))
        deliver(piece.data);
    else
        m_slots[size_t(index)].stage->take(std::move(piece));
}

void RelayWay::deliver(const QByteArray &data) {
    if (m_cut)
        return;
    m_passed += data.size();
    m_deliver(data);
}

void RelayWay::cutHere(const QString &name, const QString &action) {
    if (m_cut)
        return;
    m_cut = true;
    for (Slot &slot : m_slots)
        slot.stage->takeWaiting();
    m_held = 0;
    m_pieces = 0;
    m_delayed = 0;
    settle();
    m_timer.stop();
    QTimer::singleShot(0, this, [this, name, action] {
        if (name.isEmpty())
            emit cutReached();
        else
            emit endedBy(name, action);
    });
}

void RelayWay::pump(bool announce) {
    if (m_pumping)
        return;
    m_pumping = true;
    const qint64 heldBefore = m_held;
    const qint64 passedBefore = m_passed;
    qint64 next = -1;
    for (size_t i = 0; i < m_slots.size() && !m_cut; ++i) {
        const qint64 due = m_slots[i].stage->release();
        if (due >= 0 && (next < 0 || due < next))
            next = due;
    }
    m_held = 0;
    m_pieces = 0;
    m_delayed = 0;
    for (const Slot &slot : m_slots) {
        m_held += slot.stage->held();
        m_pieces += slot.stage->waiting();
        if (slot.stage->waitsForTime())
            m_delayed += slot.stage->held();
    }
    settle();
    m_pumping = false;
    if (next >= 0 && !m_cut) {
        const qint64 waitUs = std::max<qint64>(0, next - nowUs());
        m_timer.start(int(std::min<qint64>((waitUs + 999) / 1000, LinkFaults::MaxDelayMs)));
    } else {
        m_timer.stop();
    }
    if (announce && (m_held < heldBefore || m_passed != passedBefore))
        emit released();
}
