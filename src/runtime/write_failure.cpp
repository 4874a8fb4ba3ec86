#include "runtime/write_failure.h"

#include <cerrno>

QString writeFailureReason(const QFileDevice &file) {
    const int systemError = errno;
    if (file.error() != QFileDevice::NoError)
        return file.errorString();
    return systemError != 0 ? qt_error_string(systemError)
                            : QStringLiteral("only part of it could be written");
}
