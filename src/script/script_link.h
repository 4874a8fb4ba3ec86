#pragma once

#include <QByteArray>
#include <QJSValue>
#include <QObject>
#include <QString>

#include <functional>

class Link;

// What a script holds of a link: its ends, send and close; never the socket under it. Once the
// link has gone the object stays, answering false and nothing.
class ScriptLink : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString farAddress READ farAddress CONSTANT)
    Q_PROPERTY(int farPort READ farPort CONSTANT)
    Q_PROPERTY(int nearPort READ nearPort CONSTANT)
    Q_PROPERTY(bool datagrams READ datagrams CONSTANT)
    Q_PROPERTY(bool open READ isOpen)
public:
    ScriptLink(Link *link, std::function<void()> close, QObject *parent);

    QString farAddress() const { return m_farAddress; }
    int farPort() const { return m_farPort; }
    int nearPort() const { return m_nearPort; }
    bool datagrams() const { return m_datagrams; }
    bool isOpen() const;
    Q_INVOKABLE bool send(const QByteArray &bytes);
    Q_INVOKABLE void close();
    void detach();
    // Reads the far end again: a datagram link's moves with each sender.
    void refresh();

    QJSValue shown; // the script's own wrapper, so a kept link stays the same object

private:
    Link *m_link;
    std::function<void()> m_close;
    // As last read, so a link gone still says where it went.
    QString m_farAddress;
    int m_farPort = 0;
    int m_nearPort = 0;
    bool m_datagrams = false;
};
