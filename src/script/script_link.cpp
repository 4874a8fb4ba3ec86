#include "script/script_link.h"

#include "net/link.h"

#include <utility>

ScriptLink::ScriptLink(Link *link, std::function<void()> close, QObject *parent)
    : QObject(parent), m_link(link), m_close(std::move(close)), m_datagrams(link->datagrams()) {
    refresh();
}

void ScriptLink::refresh() {
    if (!m_link)
        return;
    m_farAddress = m_link->farAddress();
    m_farPort = m_link->farPort();
    m_nearPort = m_link->nearPort();
}

bool ScriptLink::isOpen() const {
    return m_link && m_link->phase() == Link::Phase::Open;
}

bool ScriptLink::send(const QByteArray &bytes) {
    return isOpen() && m_link->send(bytes);
}

void ScriptLink::close() {
    if (!m_link || !m_close)
        return;
    // Closing may take the link itself away.
    const auto close = std::exchange(m_close, {});
    m_link = nullptr;
    close();
}

void ScriptLink::detach() {
    m_link = nullptr;
    m_close = {};
}
