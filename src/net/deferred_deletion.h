#pragma once

#include <QList>
#include <QPointer>

class QObject;

// Holds back deletions while one of its owner's slots runs: a nested event loop inside a handler
// must not delete a Qt socket whose signal is still being delivered, nor the owner itself. It is
// a member of its owner and dies with it.
class DeferredDeletion {
    Q_DISABLE_COPY_MOVE(DeferredDeletion)

public:
    enum class Disposal { Later, Now };

    explicit DeferredDeletion(QObject *owner) : m_owner(owner) {}
    ~DeferredDeletion(); // what it still holds goes with the next return to the event loop

    // Marks one of the owner's slots as running for its lifetime.
    class Scope {
        Q_DISABLE_COPY_MOVE(Scope)

    public:
        explicit Scope(DeferredDeletion &deletion);
        ~Scope();

    private:
        DeferredDeletion *m_deletion;
        QPointer<QObject> m_owner; // the deletion is gone when its owner is
    };

    bool busy() const { return m_busy > 0; }
    // Takes the object from its parent and deletes it: Now at once, Later once no slot of the
    // owner runs any more and control is back in the event loop.
    void retire(QObject *object, Disposal disposal);
    void deleteOwnerWhenIdle();

private:
    void onIdle();

    QObject *m_owner;
    int m_busy = 0;
    QList<QPointer<QObject>> m_retired;
    bool m_deleteOwner = false;
};
