#include "program/program.h"

#include "listener/listener.h"
#include "listener/receive_handler.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "script/script_runner.h"

#include <QDebug>

#include <utility>

// The script's notes go to the record, and its faults also to stderr; it hears of the
// listener's TCP peer as it comes and goes.
void Program::connectScript() {
    m_script = std::make_unique<ScriptRunner>();
    ReceiveHandler *receiver = m_receiveHandler.get();
    m_script->setNotes([this, receiver](const QString &text, bool error) {
        if (error && m_scriptFaultsOnStderr)
            qWarning().noquote() << text;
        receiver->recordNote(QStringLiteral("\r\n") + text + QStringLiteral("\r\n"));
    });
    m_scriptPeers = connect(
        m_listener.get(), &Listener::stateChanged, this, [this](const ListenerState &state) {
            SocketControl *slot = m_listenSock->element(1);
            const bool peer = state.phase == ListenerPhase::PeerConnected && slot;
            if (peer == !m_scriptPeer.isNull())
                return;
            // A slot already gone has told the script itself.
            if (m_scriptPeer)
                m_script->closed(*std::exchange(m_scriptPeer, nullptr));
            if (!peer || !m_script->isLoaded())
                return;
            m_scriptPeer = slot;
            m_script->connected(*slot, {slot, [listener = m_listener.get()] {
                                            QTimer::singleShot(0, listener, [listener] {
                                                listener->StartListening();
                                            });
                                        }});
        });
}

QString Program::loadScript(const QString &path, int timeLimitMs, bool faultsOnStderr) {
    if (!m_script)
        connectScript();
    m_scriptFaultsOnStderr = faultsOnStderr;
    m_script->setTimeLimit(timeLimitMs);
    if (!m_script->load(path)) {
        m_receiveHandler->setScript(nullptr);
        return m_script->lastError();
    }
    m_receiveHandler->setScript(m_script.get());
    return {};
}
