#pragma once

#include <QByteArray>
#include <QHash>
#include <QJSValue>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class Link;
class QJSEngine;
class ScriptLink;
class ScriptWatchdog;

// What a script may do with a link: `close` closes it, when given; `lifetime`, when given, is
// the object whose end takes the link with it (the script is then told it closed).
struct LinkHooks {
    QObject *lifetime = nullptr;
    std::function<void()> close;
};

// The operator's script: a file of handlers (onConnect, onReceive, onClose, onTimer) run in an
// engine that can reach nothing but the links it is given and a few helpers. Every call into it
// is bounded in time and in the process's growth; a script past either bound is interrupted, and
// one past the memory bound is stopped.
class ScriptRunner : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultTimeLimitMs = 50;
    static constexpr qint64 DefaultMemoryLimit = qint64(256) << 20;
    static constexpr qint64 MaxFileBytes = qint64(4) << 20;

    explicit ScriptRunner(QObject *parent = nullptr);
    ~ScriptRunner() override;

    // Loads and runs `path`'s top level; false with lastError() when it cannot.
    bool load(const QString &path);
    bool reload() { return load(m_path); }
    void unload();
    bool isLoaded() const { return m_engine != nullptr; }
    QString path() const { return m_path; }
    QString lastError() const { return m_lastError; }
    void setTimeLimit(int ms) { m_timeLimitMs = ms; }
    int timeLimit() const { return m_timeLimitMs; }
    // How much the process may grow past its size at load.
    void setMemoryLimit(qint64 bytes) { m_memoryLimit = bytes; }
    // Where the script's log lines and the notes of its faults go; `error` for those stderr
    // also shows.
    void setNotes(std::function<void(const QString &text, bool error)> notes) {
        m_notes = std::move(notes);
    }
    // Calls cut short by the time or memory bound.
    int interruptions() const { return m_interruptions; }

    void connected(Link &link, LinkHooks hooks = {});
    // True when onReceive answered "handled": the chunk needs nothing further.
    bool receive(Link &link, const QByteArray &data, LinkHooks hooks = {});
    // The link is going: the script's hold on it stays but reaches nothing.
    void closed(Link &link);

    // The helpers' native half; public for the engine alone.
    Q_INVOKABLE QString text(const QByteArray &bytes) const;
    Q_INVOKABLE QString hex(const QByteArray &bytes) const;
    Q_INVOKABLE QByteArray fromHex(const QString &text) const;
    Q_INVOKABLE QByteArray fromText(const QString &text) const;
    Q_INVOKABLE double checksum(const QString &name, const QByteArray &bytes) const;
    Q_INVOKABLE void log(const QString &text);
    Q_INVOKABLE void setTimer(int ms);

private:
    QJSValue linkFor(Link &link, LinkHooks hooks);
    void tellClosed(Link *link, bool gone);
    // Calls the global handler `name`, if the script has one, within the bounds.
    QJSValue call(const QString &name, const QJSValueList &arguments);
    QJSValue bounded(const QString &what, const std::function<QJSValue()> &run);
    void noteError(const QJSValue &error);
    void note(const QString &text, bool error);
    void stop(const QString &why);

    QString m_path;
    QString m_lastError;
    int m_timeLimitMs = DefaultTimeLimitMs;
    qint64 m_memoryLimit = DefaultMemoryLimit;
    qint64 m_sizeAtLoad = 0;
    int m_interruptions = 0;
    bool m_calling = false;
    std::unique_ptr<QJSEngine> m_engine;
    std::unique_ptr<ScriptWatchdog> m_watchdog;
    QJSValue m_prelude; // the script-side helpers: bytes(), toBuffer(), link()
    QHash<Link *, ScriptLink *> m_links;
    QHash<QString, bool> m_errorsShown;
    QTimer m_timer;
    std::function<void(const QString &, bool)> m_notes;
};
