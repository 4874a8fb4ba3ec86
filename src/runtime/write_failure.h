#pragma once

#include <QFileDevice>
#include <QString>

// Why a write to `file` came up short. Qt reports no error when part of the data was written
// before the disk filled up, so the system's own reason is taken then; call it right after the
// failed write.
QString writeFailureReason(const QFileDevice &file);
