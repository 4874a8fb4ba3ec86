#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>

class Clock;
struct Controls;

// The daily log of received data: one file per local day in the folder of txtLogPath.
class ReceiveLog
{
public:
    ReceiveLog(Controls &controls, const Clock &clock);

    // Appends one entry holding exactly `data`. A failure never reaches the caller: it turns
    // txtLogPath red with a tool tip naming the file and the reason, until an entry succeeds.
    void LogReceivedData(const QByteArray &data);

    static bool FolderExists(const QString &path);
    static bool FileExists(const QString &path);
    static QString LogDateText(const QDate &when);

private:
    void reportFailure(const QString &fileName, const QString &reason);
    void clearFailure();

    Controls &m_controls;
    const Clock &m_clock;
    bool m_failing = false;
};
