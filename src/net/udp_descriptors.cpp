#include "net/udp_descriptors.h"

#include <QHostAddress>

#include <cerrno>
#include <cstring>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

enum class Families { None, IPv4, IPv6, Both };

// An IPv6 socket carries IPv4 too unless it is IPv6 only (bound to "::" or an IPv6 address).
Families familiesOf(int descriptor) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return Families::None;
    if (local.ss_family == AF_INET)
        return Families::IPv4;
    if (local.ss_family != AF_INET6)
        return Families::None;
    int v6Only = 0;
    length = sizeof v6Only;
    ::getsockopt(descriptor, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, &length);
    return v6Only ? Families::IPv6 : Families::Both;
}

bool carriesIPv4(Families families) {
    return families == Families::IPv4 || families == Families::Both;
}

bool carriesIPv6(Families families) {
    return families == Families::IPv6 || families == Families::Both;
}

template <typename Value> int setOption(int descriptor, int level, int name, const Value &value) {
    return ::setsockopt(descriptor, level, name, &value, sizeof value) == 0 ? 0 : errno;
}

// Both families' options, the IPv4 one only where the socket carries IPv4 and so on; the first
// refusal counts.
template <typename IPv4Value, typename IPv6Value>
int setBoth(qintptr descriptor, int ipv4Name, const IPv4Value &ipv4, int ipv6Name,
            const IPv6Value &ipv6) {
    const int socket = int(descriptor);
    const Families families = familiesOf(socket);
    if (families == Families::None)
        return ENOTSOCK;
    int error = 0;
    if (carriesIPv4(families))
        error = setOption(socket, IPPROTO_IP, ipv4Name, ipv4);
    if (error == 0 && carriesIPv6(families))
        error = setOption(socket, IPPROTO_IPV6, ipv6Name, ipv6);
    return error;
}

} // namespace

int setBroadcastAllowed(qintptr descriptor, bool allowed) {
    return setOption(int(descriptor), SOL_SOCKET, SO_BROADCAST, int(allowed));
}

int setMulticastHops(qintptr descriptor, int hops) {
    return setBoth(descriptor, IP_MULTICAST_TTL, hops, IPV6_MULTICAST_HOPS, hops);
}

int setMulticastInterface(qintptr descriptor, int interfaceIndex) {
    ip_mreqn ipv4{};
    ipv4.imr_ifindex = interfaceIndex;
    return setBoth(descriptor, IP_MULTICAST_IF, ipv4, IPV6_MULTICAST_IF, interfaceIndex);
}

int changeMembership(qintptr descriptor, const QHostAddress &group, int interfaceIndex, bool join) {
    const int socket = int(descriptor);
    const Families families = familiesOf(socket);
    if (group.protocol() == QAbstractSocket::IPv4Protocol && carriesIPv4(families)) {
        ip_mreqn request{};
        request.imr_multiaddr.s_addr = htonl(group.toIPv4Address());
        request.imr_ifindex = interfaceIndex;
        return setOption(socket, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP,
                         request);
    }
    if (group.protocol() == QAbstractSocket::IPv6Protocol && carriesIPv6(families)) {
        ipv6_mreq request{};
        const Q_IPV6ADDR address = group.toIPv6Address();
        std::memcpy(&request.ipv6mr_multiaddr, &address, sizeof address);
        request.ipv6mr_interface = unsigned(interfaceIndex);
        return setOption(socket, IPPROTO_IPV6, join ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP,
                         request);
    }
    return families == Families::None ? ENOTSOCK : EAFNOSUPPORT;
}

void setReceiveBuffer(qintptr descriptor, int bytes) {
    if (setOption(int(descriptor), SOL_SOCKET, SO_RCVBUFFORCE, bytes) != 0)
        setOption(int(descriptor), SOL_SOCKET, SO_RCVBUF, bytes);
}

int receiveBufferSize(qintptr descriptor) {
    int doubled = 0;
    socklen_t length = sizeof doubled;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_RCVBUF, &doubled, &length) != 0)
        return 0;
    return doubled / 2;
}

qint64 socketDrops(qintptr descriptor) {
    quint32 memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof memory;
    if (descriptor < 0
        || ::getsockopt(int(descriptor), SOL_SOCKET, SO_MEMINFO, memory, &length) != 0
        || length < socklen_t((SK_MEMINFO_DROPS + 1) * sizeof(quint32)))
        return -1;
    return memory[SK_MEMINFO_DROPS];
}
