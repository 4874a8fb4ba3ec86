#include "script/script_watchdog.h"

#include <QFile>
#include <QJSEngine>

#include <chrono>
#include <unistd.h>

namespace {

// How often a running call's memory is looked at.
constexpr std::chrono::milliseconds MemoryStep{2};

} // namespace

ScriptWatchdog::ScriptWatchdog(QJSEngine &engine)
    : m_engine(engine), m_thread([this] { watch(); }) {}

ScriptWatchdog::~ScriptWatchdog() {
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void ScriptWatchdog::arm(int ms, std::int64_t maxBytes) {
    {
        std::lock_guard lock(m_mutex);
        m_armed = true;
        m_ms = ms;
        m_maxBytes = maxBytes;
        m_verdict = Verdict::InTime;
    }
    m_wake.notify_all();
}

ScriptWatchdog::Verdict ScriptWatchdog::disarm() {
    std::lock_guard lock(m_mutex);
    m_armed = false;
    m_wake.notify_all();
    // An interruption that came as the call ended must not stop the next one.
    m_engine.setInterrupted(false);
    return m_verdict;
}

void ScriptWatchdog::watch() {
    std::unique_lock lock(m_mutex);
    while (!m_quit) {
        m_wake.wait(lock, [this] { return m_quit || m_armed; });
        if (m_quit)
            return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_ms);
        while (m_armed && !m_quit && m_verdict == Verdict::InTime) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
                m_verdict = Verdict::TimedOut;
            else if (m_maxBytes > 0 && residentBytes() > m_maxBytes)
                m_verdict = Verdict::OverMemory;
            else {
                m_wake.wait_until(lock, std::min(deadline, now + MemoryStep));
                continue;
            }
            m_engine.setInterrupted(true);
        }
        // Stays interrupted until the call has ended and disarmed.
        m_wake.wait(lock, [this] { return m_quit || !m_armed; });
    }
}

std::int64_t ScriptWatchdog::residentBytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    if (fields.size() < 2)
        return 0;
    return fields[1].toLongLong() * sysconf(_SC_PAGESIZE);
}
