#include "net/deferred_deletion.h"

#include <QAbstractSocket>
#include <QTimer>

#include <utility>

DeferredDeletion::~DeferredDeletion() {
    for (const QPointer<QObject> &object : std::as_const(m_retired)) {
        if (object)
            object->deleteLater();
    }
    for (const Lingering &lingering : std::as_const(m_lingering)) {
        if (lingering.socket)
            deleteWhenSent(lingering.socket, lingering.lingerMs);
    }
}

DeferredDeletion::Scope::Scope(DeferredDeletion &deletion)
    : m_deletion(&deletion), m_owner(deletion.m_owner) {
    ++deletion.m_busy;
}

DeferredDeletion::Scope::~Scope() {
    if (m_owner && --m_deletion->m_busy == 0)
        m_deletion->onIdle();
}

void DeferredDeletion::retire(QObject *object, Disposal disposal) {
    object->setParent(nullptr);
    if (disposal == Disposal::Now)
        delete object;
    else if (busy())
        m_retired.append(object);
    else
        object->deleteLater();
}

void DeferredDeletion::retireWhenSent(QAbstractSocket *socket, int lingerMs) {
    socket->setParent(nullptr);
    if (busy())
        m_lingering.append({socket, lingerMs});
    else
        deleteWhenSent(socket, lingerMs);
}

// Armed only outside the owner's slots: a socket that closes inside a nested event loop of one
// of them is deleted after that slot, and the signal it came from, have returned.
void DeferredDeletion::deleteWhenSent(QAbstractSocket *socket, int lingerMs) {
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        socket->deleteLater();
        return;
    }
    QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, &QObject::deleteLater);
    QTimer::singleShot(lingerMs, socket, &QObject::deleteLater);
}

void DeferredDeletion::deleteOwnerWhenIdle() {
    if (busy())
        m_deleteOwner = true;
    else
        m_owner->deleteLater();
}

void DeferredDeletion::onIdle() {
    for (const QPointer<QObject> &object : std::exchange(m_retired, {})) {
        if (object)
            object->deleteLater();
    }
    for (const Lingering &lingering : std::exchange(m_lingering, {})) {
        if (lingering.socket)
            deleteWhenSent(lingering.socket, lingering.lingerMs);
    }
    if (m_deleteOwner)
        m_owner->deleteLater();
}
