#include "window/packet_menus.h"

#include "listener/listener.h"
#include "model/operator_dialogs.h"
#include "program/program.h"
#include "sender/packets.h"
#include "sender/sender.h"
#include "window/packets_window.h"

#include <QMenu>
#include <QShortcut>

using namespace Qt::Literals::StringLiterals;

PacketMenus::PacketMenus(Program &program, QWidget *window)
    : QObject(window), m_program(program), m_window(window) {
    new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_P), window, [this] { openWindow(); });
    for (int slot = 0; slot < Packets::PinCount; ++slot)
        new QShortcut(QKeySequence(Qt::ALT | Qt::Key(Qt::Key_1 + slot)), window,
                      [this, slot] { sendPinned(slot); });
    // A pinned send that fails is shown even while the window is closed.
    connect(&program.packets(), &Packets::finished, this,
            [this](const QString &name, bool passed, const QString &result) {
                if (!passed && (!m_packetsWindow || !m_packetsWindow->isVisible()))
                    openWindow()->showStatus(name + u": "_s + result);
            });
}

void PacketMenus::addToSendBoxMenu(QMenu *menu) {
    Sender &sender = m_program.sender();
    QAction *fields = menu->addAction(u"Computed &Fields"_s);
    fields->setCheckable(true);
    fields->setChecked(sender.computedFields());
    connect(fields, &QAction::toggled, this, [&sender](bool on) { sender.setComputedFields(on); });
    QAction *packets = menu->addAction(u"&Packets..."_s);
    packets->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    connect(packets, &QAction::triggered, this, &PacketMenus::openWindow, Qt::QueuedConnection);
    connect(
        menu->addAction(u"Save Send Box as Pac&ket..."_s), &QAction::triggered, this,
        [this] {
            addPacket(m_program.packets().sendBoxPacket(m_program.sender().sendAsHex(),
                                                        m_program.sender().peerReachable(),
                                                        m_program.listener().state()));
        },
        Qt::QueuedConnection);
}

PacketsWindow *PacketMenus::openWindow() {
    if (!m_packetsWindow)
        m_packetsWindow = new PacketsWindow(m_program.packets(), m_window);
    m_packetsWindow->show();
    m_packetsWindow->raise();
    m_packetsWindow->activateWindow();
    return m_packetsWindow;
}

void PacketMenus::saveBytes(const QByteArray &bytes) {
    addPacket(Packets::bytesPacket(bytes));
}

void PacketMenus::addPacket(const PacketEntry &entry) {
    openWindow()->addPacket(entry);
}

void PacketMenus::sendPinned(int slot) {
    Packets &packets = m_program.packets();
    const QString name = packets.pins().value(slot);
    if (name.isEmpty())
        return;
    QString why;
    if (!packets.run(name, std::nullopt, &why))
        openWindow()->showStatus(why);
}
