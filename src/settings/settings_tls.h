#pragma once

#include "settings/ini_value.h"

#include <QString>
#include <functional>

struct TlsOptions;

// Writes the TLS keys after the others: each one once it is in the file already or differs
// from its default. A key's passphrase is never stored.
void writeTlsOptions(const TlsOptions &listener, const TlsOptions &client,
                     const std::function<void(const QString &key, const SettingValue &value,
                                              bool changed)> &writeChanged);
