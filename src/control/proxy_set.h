#pragma once

#include "control/control_json.h"

#include <QObject>

#include <map>
#include <memory>

class Program;

// The proxies the control API made in this run, by name: each a relay of its own with its own
// listening socket and faults, whose chunks are recorded as the main relay's are.
class ProxySet final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProxySet)

public:
    static constexpr int MaxProxies = 64;

    explicit ProxySet(Program &program, QObject *parent = nullptr);
    ~ProxySet() override;

    // Each call changes nothing when it answers an error.
    // 201 style: a new proxy; its listen text then names the port chosen for port 0.
    ApiError create(ProxyDefinition definition);
    ApiError update(const QString &name, ProxyDefinition definition);
    ApiError remove(const QString &name);
    // Creates each, replacing one of the same name; checked whole before any is made.
    ApiError populate(const QList<ProxyDefinition> &definitions);
    // Every proxy enabled, every fault removed.
    void reset();
    ApiError setFaults(const QString &name, const QList<Fault> &faults);

    QStringList names() const;
    // Null for no such proxy.
    const ProxyDefinition *definition(const QString &name) const;
    QList<Fault> faults(const QString &name) const;
    bool datagrams(const QString &name) const;
    ApiError notFound(const QString &name) const;

private:
    struct Proxy;
    ApiError open(Proxy &proxy, const ListenEnd &end);
    void close(Proxy &proxy);
    void apply(Proxy &proxy);

    Program &m_program;
    std::map<QString, std::unique_ptr<Proxy>> m_proxies;
};
