#pragma once

#include <QString>
#include <QStringList>

// Whether tshark is there to read captures back.
bool hasTshark();

// tshark's reading of a capture file: one line per packet, its fields tab-separated. `options`
// go before the fields (e.g. "-o", "udp.check_checksum:TRUE"). A run that fails answers one line
// saying so, which no expected list holds.
QStringList tsharkFields(const QString &file, const QStringList &fields,
                         const QStringList &options = {});
