#pragma once

#include <QObject>
#include <QString>
#include <vector>

class SocketControl;

// A loadable array of socket controls; element 0 always exists. Events carry the element index.
class SocketArray final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SocketArray)

public:
    explicit SocketArray(QObject *parent = nullptr);
    ~SocketArray() override;

    int Count() const;                       // number of loaded elements
    SocketControl *element(int index) const; // nullptr when not loaded
    bool Load(int index);                    // fails when already loaded or index < 0
    bool Unload(int index); // closes it; never element 0; safe inside its own events
    // Every element, and those loaded later, stop or go on reading (SocketControl::setPaused).
    void setPaused(bool paused);

signals:
    void ConnectionRequest(int index, qintptr requestID);
    void DataArrival(int index, qint64 bytesTotal);
    void Error(int index, int number, const QString &description, const QString &source);
    void Secured(int index);
    void SecureNote(int index, const QString &text, bool peerDropped);

private:
    std::vector<SocketControl *> m_elements; // index -> element, nullptr where not loaded
    bool m_paused = false;
};
