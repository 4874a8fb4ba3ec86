#include "net/socket_errors.h"

#include <array>
#include <cerrno>
#include <utility>

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
    KnownError{10022, "Invalid argument."},
    KnownError{10024, "Too many open files."},
    KnownError{10035, "Resource temporarily unavailable."},
    KnownError{10036, "Operation now in progress."},
    KnownError{10037, "Operation already in progress."},
    KnownError{10038, "Socket operation on nonsocket."},
    KnownError{10040, "Message too long."},
    KnownError{10042, "Bad protocol option."},
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

// The Windows Sockets numbers were made from the BSD ones, so each has its Linux errno.
constexpr std::array errnoNumbers{
    std::pair{EINTR, 10004},           std::pair{EACCES, 10013},
    std::pair{EPERM, 10013},           std::pair{EFAULT, 10014},
    std::pair{EINVAL, 10022},          std::pair{EMFILE, 10024},
    std::pair{EAGAIN, 10035},          std::pair{EINPROGRESS, 10036},
    std::pair{EALREADY, 10037},        std::pair{ENOTSOCK, 10038},
    std::pair{EMSGSIZE, 10040},        std::pair{ENOPROTOOPT, 10042},
    std::pair{EPROTONOSUPPORT, 10043}, std::pair{EOPNOTSUPP, 10045},
    std::pair{EAFNOSUPPORT, 10047},    std::pair{EADDRINUSE, 10048},
    std::pair{EADDRNOTAVAIL, 10049},   std::pair{ENETDOWN, 10050},
    std::pair{ENETUNREACH, 10051},     std::pair{ENETRESET, 10052},
    std::pair{ECONNABORTED, 10053},    std::pair{ECONNRESET, 10054},
    std::pair{ENOBUFS, 10055},         std::pair{EISCONN, 10056},
    std::pair{ENOTCONN, 10057},        std::pair{ESHUTDOWN, 10058},
    std::pair{ETIMEDOUT, 10060},       std::pair{ECONNREFUSED, 10061},
    std::pair{EHOSTUNREACH, 10065},
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

WinsockError winsockErrorForErrno(int error) {
    for (const auto &[code, number] : errnoNumbers) {
        if (code == error)
            return winsockError(number);
    }
    return {0, qt_error_string(error)};
}

QString failureText(const WinsockError &error) {
    if (error.number == 0)
        return error.description;
    return QString::number(error.number) + QStringLiteral(" - ") + error.description;
}
