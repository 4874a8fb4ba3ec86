#include "net/socket_errors.h"

#include <array>

Q_LOGGING_CATEGORY(lcNet, "sendrel.net")

namespace {

struct KnownError {
    int number;
    const char *text;
};

constexpr std::array knownErrors{
    KnownError{10004, "Interrupted function call."},
    KnownError{10013, "Permission denied."},
    KnownError{10014, "Bad address."},
    KnownError{10024, "Too many open files."},
    KnownError{10035, "Resource temporarily unavailable."},
    KnownError{10036, "Operation now in progress."},
    KnownError{10037, "Operation already in progress."},
    KnownError{10038, "Socket operation on nonsocket."},
    KnownError{10040, "Message too long."},
    KnownError{10043, "Protocol not supported."},
    KnownError{10045, "Operation not supported."},
    KnownError{10047, "Address family not supported by protocol family."},
    KnownError{10048, "Address already in use."},
    KnownError{10049, "Cannot assign requested address."},
    KnownError{10050, "Network is down."},
    KnownError{10051, "Network is unreachable."},
    KnownError{10052, "Network dropped connection on reset."},
    KnownError{10053, "Software caused connection abort."},
    KnownError{10054, "Connection reset by peer."},
    KnownError{10055, "No buffer space available."},
    KnownError{10056, "Socket is already connected."},
    KnownError{10057, "Socket is not connected."},
    KnownError{10058, "Cannot send after socket shutdown."},
    KnownError{10060, "Connection timed out."},
    KnownError{10061, "Connection refused."},
    KnownError{10065, "No route to host."},
    KnownError{11001, "Host not found."},
    KnownError{11002, "Nonauthoritative host not found."},
    KnownError{11003, "This is a nonrecoverable error."},
    KnownError{11004, "Valid name, no data record of requested type."},
};

int numberFor(QAbstractSocket::SocketError qtError, const QString &qtText) {
    switch (qtError) {
    case QAbstractSocket::ConnectionRefusedError:
        return 10061;
    case QAbstractSocket::RemoteHostClosedError:
        return 10054;
    case QAbstractSocket::HostNotFoundError:
        return 11001;
    case QAbstractSocket::SocketAccessError:
        return 10013;
    case QAbstractSocket::SocketResourceError:
        return 10055;
    case QAbstractSocket::SocketTimeoutError:
        return 10060;
    case QAbstractSocket::DatagramTooLargeError:
        return 10040;
    case QAbstractSocket::AddressInUseError:
        return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return 10049;
    case QAbstractSocket::UnsupportedSocketOperationError:
        return 10047;
    case QAbstractSocket::UnfinishedSocketOperationError:
        return 10036;
    case QAbstractSocket::TemporaryError:
        return 10035;
    case QAbstractSocket::NetworkError:
    default:
        // Qt reports several kernel errors as NetworkError; only its text tells them apart.
        if (qtText.contains(QLatin1String("Network unreachable"), Qt::CaseInsensitive))
            return 10051;
        if (qtText.contains(QLatin1String("Host unreachable"), Qt::CaseInsensitive))
            return 10065;
        if (qtText.contains(QLatin1String("timed out"), Qt::CaseInsensitive))
            return 10060;
        return 10050;
    }
}

} // namespace

WinsockError winsockError(int number) {
    for (const KnownError &known : knownErrors) {
        if (known.number == number)
            return {number, QString::fromLatin1(known.text)};
    }
    return {number, QString()};
}

WinsockError winsockError(QAbstractSocket::SocketError qtError, const QString &qtText) {
    return winsockError(numberFor(qtError, qtText));
}
