#pragma once

#include <QObject>
#include <QPointer>

class Program;
class PacketsWindow;
class QMenu;
class QWidget;
struct PacketEntry;

// The saved packets in the main window: Ctrl+P opens the Packets window, Alt+1..Alt+9 send the
// pinned packets, and the send box's menu gains "Computed Fields", "Packets..." and "Save Send
// Box as Packet...".
class PacketMenus final : public QObject {
    Q_OBJECT

public:
    PacketMenus(Program &program, QWidget *window);

    void addToSendBoxMenu(QMenu *menu);
    PacketsWindow *openWindow();
    // Opens the editor on a new packet of these bytes (a received chunk).
    void saveBytes(const QByteArray &bytes);

private:
    void sendPinned(int slot);
    void addPacket(const PacketEntry &entry);

    Program &m_program;
    QWidget *m_window;
    QPointer<PacketsWindow> m_packetsWindow;
};
