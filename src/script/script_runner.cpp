#include "script/script_runner.h"

#include "runtime/checksum.h"
#include "script/script_link.h"
#include "script/script_watchdog.h"

#include <QFile>
#include <QJSEngine>
#include <QJSValueIterator>
#include <QScopedValueRollback>
#include <QUrl>
#include <QtNumeric>

namespace {

// The script's half of the helpers. The native object stays inside this closure: the script
// never holds a QObject of the program's, whose slots (deleteLater) it could call.
const QString Prelude = QStringLiteral(R"js((function (native) {
    'use strict';
    function toBuffer(v) {
        if (typeof v === 'string') return native.fromText(v);
        if (v instanceof ArrayBuffer) return v;
        if (ArrayBuffer.isView(v)) return v.buffer.slice(v.byteOffset, v.byteOffset + v.byteLength);
        if (Array.isArray(v)) return new Uint8Array(v).buffer;
        throw new TypeError('not bytes or text: ' + v);
    }
    function bytes(buffer) {
        const b = new Uint8Array(buffer);
        b.text = function () { return native.text(toBuffer(this)); };
        b.hex = function () { return native.hex(toBuffer(this)); };
        b.at = function (i) { i = Math.trunc(i); return this[i < 0 ? this.length + i : i]; };
        return b;
    }
    return {
        bytes: bytes,
        link: function (n) {
            return Object.freeze({
                send: function (v) { return n.send(toBuffer(v)); },
                close: function () { n.close(); },
                get farAddress() { return n.farAddress; },
                get farPort() { return n.farPort; },
                get nearPort() { return n.nearPort; },
                get datagrams() { return n.datagrams; },
                get open() { return n.open; }
            });
        },
        helpers: {
            hex: function (v) { return native.hex(toBuffer(v)); },
            fromHex: function (t) { return bytes(native.fromHex(String(t))); },
            crc16modbus: function (v) { return native.checksum('CRC16MODBUS', toBuffer(v)); },
            checksum: function (name, v) { return native.checksum(String(name), toBuffer(v)); },
            log: function (t) { native.log(String(t)); },
            setTimer: function (ms) { native.setTimer(Number(ms)); }
        }
    };
}))js");

const QString Handled = QStringLiteral("handled");

} // namespace

ScriptRunner::ScriptRunner(QObject *parent) : QObject(parent) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { call(QStringLiteral("onTimer"), {}); });
}

ScriptRunner::~ScriptRunner() {
    unload();
}

bool ScriptRunner::load(const QString &path) {
    unload();
    m_path = path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_lastError = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > MaxFileBytes) {
        m_lastError = QStringLiteral("%1: larger than %2 MiB").arg(path).arg(MaxFileBytes >> 20);
        return false;
    }
    const QString source = QString::fromUtf8(file.readAll());
    m_errorsShown.clear();
    m_lastError.clear();
    m_engine = std::make_unique<QJSEngine>();
    m_watchdog = std::make_unique<ScriptWatchdog>(*m_engine);
    QJSEngine::setObjectOwnership(this, QJSEngine::CppOwnership);
    m_prelude = m_engine->evaluate(Prelude).call({m_engine->newQObject(this)});
    QJSValueIterator helpers(m_prelude.property(QStringLiteral("helpers")));
    QJSValue global = m_engine->globalObject();
    while (helpers.next())
        global.setProperty(helpers.name(), helpers.value());
    m_sizeAtLoad = ScriptWatchdog::residentBytes();
    const QJSValue result =
        bounded(QStringLiteral("the top level"), [&] { return m_engine->evaluate(source, path); });
    if (result.isError() || !m_engine) {
        const QString why = m_lastError;
        unload();
        m_lastError = why;
        return false;
    }
    return true;
}

void ScriptRunner::unload() {
    m_timer.stop();
    for (ScriptLink *link : std::as_const(m_links)) {
        link->detach();
        link->deleteLater();
    }
    m_links.clear();
    m_prelude = QJSValue();
    m_watchdog.reset();
    m_engine.reset();
}

QJSValue ScriptRunner::linkFor(Link &link, LinkHooks hooks) {
    ScriptLink *&shown = m_links[&link];
    if (!shown) {
        shown = new ScriptLink(&link, std::move(hooks.close), this);
        if (hooks.lifetime)
            connect(hooks.lifetime, &QObject::destroyed, shown,
                    [this, key = &link] { tellClosed(key, true); });
        QJSEngine::setObjectOwnership(shown, QJSEngine::CppOwnership);
        shown->shown =
            m_prelude.property(QStringLiteral("link")).call({m_engine->newQObject(shown)});
    }
    shown->refresh();
    return shown->shown;
}

void ScriptRunner::connected(Link &link, LinkHooks hooks) {
    if (m_engine)
        call(QStringLiteral("onConnect"), {linkFor(link, std::move(hooks))});
}

bool ScriptRunner::receive(Link &link, const QByteArray &data, LinkHooks hooks) {
    if (!m_engine)
        return false;
    const QJSValue shownLink = linkFor(link, std::move(hooks));
    const QJSValue bytes =
        m_prelude.property(QStringLiteral("bytes")).call({m_engine->toScriptValue(data)});
    const QJSValue result = call(QStringLiteral("onReceive"), {shownLink, bytes});
    return result.isString() && result.toString() == Handled;
}

void ScriptRunner::closed(Link &link) {
    tellClosed(&link, false);
}

// A link that is `gone` is let go of before the script hears of it: it is no more.
void ScriptRunner::tellClosed(Link *link, bool gone) {
    ScriptLink *shown = m_links.take(link);
    if (!shown)
        return;
    if (gone)
        shown->detach();
    call(QStringLiteral("onClose"), {shown->shown});
    shown->detach();
    shown->deleteLater();
}

QJSValue ScriptRunner::call(const QString &name, const QJSValueList &arguments) {
    if (!m_engine)
        return {};
    QJSValue handler = m_engine->globalObject().property(name);
    if (!handler.isCallable())
        return {};
    return bounded(name, [&] { return handler.call(arguments); });
}

QJSValue ScriptRunner::bounded(const QString &what, const std::function<QJSValue()> &run) {
    // What a handler sets off (a send that fails, a close) may come back here; the engine is
    // not entered twice.
    if (m_calling)
        return {};
    const QScopedValueRollback calling(m_calling, true);
    m_watchdog->arm(m_timeLimitMs, m_memoryLimit > 0 ? m_sizeAtLoad + m_memoryLimit : 0);
    const QJSValue result = run();
    ScriptWatchdog::Verdict verdict = m_watchdog->disarm();
    if (verdict == ScriptWatchdog::Verdict::InTime && m_memoryLimit > 0
        && ScriptWatchdog::residentBytes() > m_sizeAtLoad + m_memoryLimit)
        verdict = ScriptWatchdog::Verdict::OverMemory;
    if (verdict == ScriptWatchdog::Verdict::TimedOut) {
        ++m_interruptions;
        m_lastError = QStringLiteral("Script %1: %2 ran past %3 ms and was interrupted")
                          .arg(m_path, what)
                          .arg(m_timeLimitMs);
        note(m_lastError, true);
        return m_engine->newErrorObject(QJSValue::GenericError, m_lastError);
    }
    if (verdict == ScriptWatchdog::Verdict::OverMemory) {
        ++m_interruptions;
        stop(QStringLiteral("Script %1 stopped: %2 grew the program past %3 MiB more than at load")
                 .arg(m_path, what)
                 .arg(m_memoryLimit >> 20));
        return QJSValue(QJSValue::UndefinedValue);
    }
    if (result.isError())
        noteError(result);
    return result;
}

void ScriptRunner::noteError(const QJSValue &error) {
    const QUrl url(error.property(QStringLiteral("fileName")).toString());
    const QString file = url.isLocalFile() ? url.toLocalFile() : url.toString();
    const int line = error.property(QStringLiteral("lineNumber")).toInt();
    m_lastError = QStringLiteral("Script error: %1:%2: %3")
                      .arg(file.isEmpty() ? m_path : file)
                      .arg(line)
                      .arg(error.toString());
    // A handler that fails on every chunk says so once.
    if (!std::exchange(m_errorsShown[m_lastError], true))
        note(m_lastError, true);
}

void ScriptRunner::note(const QString &text, bool error) {
    if (m_notes)
        m_notes(text, error);
}

void ScriptRunner::stop(const QString &why) {
    m_lastError = why;
    unload();
    note(why, true);
}

QString ScriptRunner::text(const QByteArray &bytes) const {
    return QString::fromLatin1(bytes);
}

QString ScriptRunner::hex(const QByteArray &bytes) const {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QByteArray ScriptRunner::fromHex(const QString &text) const {
    return QByteArray::fromHex(text.toLatin1());
}

QByteArray ScriptRunner::fromText(const QString &text) const {
    return text.toLatin1();
}

double ScriptRunner::checksum(const QString &name, const QByteArray &bytes) const {
    const Checksum *sum = Checksum::byName(name.toUpper());
    return sum ? double(sum->compute(bytes)) : qQNaN();
}

void ScriptRunner::log(const QString &text) {
    note(QStringLiteral("Script: ") + text, false);
}

void ScriptRunner::setTimer(int ms) {
    if (ms > 0)
        m_timer.start(ms);
    else
        m_timer.stop();
}
