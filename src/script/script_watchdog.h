#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class QJSEngine;

// Interrupts the engine from a thread of its own when a call into the script runs past its time
// or the process grows past its bound while the call runs: a script's loop cannot be stopped from
// the thread it blocks.
class ScriptWatchdog {
public:
    enum class Verdict { InTime, TimedOut, OverMemory };

    explicit ScriptWatchdog(QJSEngine &engine);
    ~ScriptWatchdog();
    ScriptWatchdog(const ScriptWatchdog &) = delete;
    ScriptWatchdog &operator=(const ScriptWatchdog &) = delete;

    // Arms the watch for one call of at most `ms`, with the process allowed `maxBytes` resident.
    void arm(int ms, std::int64_t maxBytes);
    // Ends the watch of the call; what became of it.
    Verdict disarm();

    // The process's resident size now; 0 where the system does not say.
    static std::int64_t residentBytes();

private:
    void watch();

    QJSEngine &m_engine;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_armed = false;
    bool m_quit = false;
    int m_ms = 0;
    std::int64_t m_maxBytes = 0;
    Verdict m_verdict = Verdict::InTime;
    std::thread m_thread;
};
