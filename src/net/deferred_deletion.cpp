#include "net/deferred_deletion.h"

#include <QObject>

#include <utility>

DeferredDeletion::~DeferredDeletion() {
    for (const QPointer<QObject> &object : std::as_const(m_retired)) {
        if (object)
            object->deleteLater();
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
    if (m_deleteOwner)
        m_owner->deleteLater();
}
