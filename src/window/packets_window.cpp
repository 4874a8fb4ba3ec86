#include "window/packets_window.h"

#include "sender/packets.h"
#include "window/packet_dialog.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

PacketsWindow::PacketsWindow(Packets &packets, QWidget *parent)
    : QDialog(parent), m_packets(packets) {
    setObjectName(u"packetsWindow"_s);
    setWindowTitle(u"Packets"_s);
    setAccessibleName(windowTitle());
    auto *layout = new QVBoxLayout(this);
    m_list = new QTreeWidget;
    m_list->setObjectName(u"packetList"_s);
    m_list->setAccessibleName(u"Saved packets and sequences"_s);
    m_list->setHeaderLabels({u"Name"_s, u"Target"_s, u"Data"_s});
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->installEventFilter(this);
    layout->addWidget(m_list);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, &PacketsWindow::send);
    layout->addLayout(makeButtons());
    layout->addWidget(makeStatus());
    followRuns();
    showList();
    resize(640, 360);
}

QHBoxLayout *PacketsWindow::makeButtons() {
    auto *buttons = new QHBoxLayout;
    const auto button = [this, buttons](const QString &text, const QString &name,
                                        const std::function<void()> &action) {
        auto *b = new QPushButton(text);
        b->setObjectName(name);
        b->setAccessibleName(QString(text).remove(u'&').remove(u"..."_s));
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, action);
        buttons->addWidget(b);
        return b;
    };
    button(u"&Send"_s, u"packetSend"_s, [this] { send(); });
    button(u"&New..."_s, u"packetNew"_s, [this] { edit({}, {}); });
    button(u"New Se&quence..."_s, u"sequenceNew"_s, [this] {
        PacketEntry sequence;
        sequence.steps = {SequenceStep{}};
        edit(sequence, {});
    });
    button(u"&Edit..."_s, u"packetEdit"_s, [this] {
        if (const PacketEntry *entry = m_packets.book().find(currentName()))
            edit(*entry, entry->name);
    });
    button(u"&Delete"_s, u"packetDelete"_s, [this] { remove(); });
    button(u"D&uplicate"_s, u"packetDuplicate"_s, [this] { duplicate(); });
    button(u"&Pin..."_s, u"packetPin"_s, [this] { pin(); });
    button(u"Copy as Co&mmand Line"_s, u"packetCopyCommand"_s, [this] { copyCommandLine(); });
    button(u"Sto&p"_s, u"packetStop"_s, [this] { m_packets.stop(); });
    button(u"&Help"_s, u"packetHelp"_s,
           [this] { QMessageBox::information(this, windowTitle(), helpText()); });
    return buttons;
}

// The status line starts with what was wrong with the stored packets, if anything.
QLabel *PacketsWindow::makeStatus() {
    m_status = new QLabel;
    m_status->setObjectName(u"packetStatus"_s);
    m_status->setAccessibleName(u"Run status"_s);
    m_status->setWordWrap(true);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QStringList problems = m_packets.book().problems();
    if (!m_packets.loadProblem().isEmpty())
        problems.prepend(u"The packets could not be read from %1: %2."_s.arg(
            m_packets.book().path(), m_packets.loadProblem()));
    m_status->setText(problems.join(u'\n'));
    return m_status;
}

void PacketsWindow::followRuns() {
    connect(&m_packets, &Packets::bookChanged, this, [this] { showList(currentName()); });
    connect(&m_packets, &Packets::stepStarted, this,
            [this](const QString &name, int step, int pass, const QString &text) {
                m_status->setText(u"%1: step %2%3: %4"_s.arg(name).arg(step + 1).arg(
                    pass > 0 ? u" (pass %1)"_s.arg(pass + 1) : QString(), text));
            });
    connect(&m_packets, &Packets::finished, this,
            [this](const QString &name, bool, const QString &result) {
                m_status->setText(name + u": "_s + result);
            });
}

QString PacketsWindow::helpText() {
    return u"A packet's data takes %CR%, %LF%, %CRLF%, %TAB% and %xHH% (one byte); with "
           "\"hex = yes\" it is hex pairs with these between them.\n\n"
           "Checksums of the bytes before them (from the start or the last %[%): %SUM8%, "
           "%XOR8%, %CRC8%, %CRC16MODBUS% (low byte first), %CRC16CCITT%, %CRC16XMODEM%, "
           "%CRC32%, %CRC32C%; add _BE or _LE to set the byte order.\n\n"
           "Lengths of the bytes after them, up to the next %]% or the end: %LEN8%, %LEN16BE%, "
           "%LEN16LE%, %LEN32BE%, %LEN32LE%.\n\n"
           "The packet's send counter: %SEQ% (text), %SEQ8%, %SEQ16BE%.\n\n"
           "A sequence's steps: send PACKET, wait MS, expect MODE TEXT within MS (MODE: exact, "
           "contains, starts, ends, regex, hex); %1 to %9 in later packets are the groups of "
           "the last reply that matched.\n\n"
           "Targets: tcp HOST:PORT, udp HOST:PORT, or peer (the listener's TCP peer). A tcp "
           "target with TLS (\"tls = yes\") is verified as Secure (TLS) says for sends."_s;
}

void PacketsWindow::showList(const QString &current) {
    m_list->clear();
    const QStringList pins = m_packets.pins();
    for (const PacketEntry &entry : m_packets.book().entries()) {
        const qsizetype pinned = pins.indexOf(entry.name);
        const QString name =
            pinned >= 0 ? u"%1 (Alt+%2)"_s.arg(entry.name).arg(pinned + 1) : entry.name;
        auto *item = new QTreeWidgetItem(m_list, {name, entry.to.label(), entry.preview()});
        item->setData(0, Qt::UserRole, entry.name);
        if (entry.name == current)
            m_list->setCurrentItem(item);
    }
    if (!m_list->currentItem() && m_list->topLevelItemCount() > 0)
        m_list->setCurrentItem(m_list->topLevelItem(0));
}

QString PacketsWindow::currentName() const {
    const QTreeWidgetItem *item = m_list->currentItem();
    return item ? item->data(0, Qt::UserRole).toString() : QString();
}

// Enter sends, Delete deletes; every other key is the list's.
bool PacketsWindow::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_list && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            send();
            return true;
        }
        if (key == Qt::Key_Delete) {
            remove();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void PacketsWindow::send() {
    QString why;
    if (!currentName().isEmpty() && !m_packets.run(currentName(), std::nullopt, &why))
        m_status->setText(why);
}

void PacketsWindow::showStatus(const QString &text) {
    m_status->setText(text);
}

void PacketsWindow::addPacket(const PacketEntry &entry) {
    edit(entry, {});
}

void PacketsWindow::edit(const PacketEntry &entry, const QString &replacing) {
    PacketDialog dialog(m_packets.book(), entry, replacing, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    save();
    showList(dialog.savedName());
}

void PacketsWindow::remove() {
    const QString name = currentName();
    if (name.isEmpty()
        || QMessageBox::question(this, windowTitle(), u"Delete %1?"_s.arg(name))
               != QMessageBox::Yes)
        return;
    m_packets.book().remove(name);
    save();
}

void PacketsWindow::duplicate() {
    const PacketEntry *entry = m_packets.book().find(currentName());
    if (!entry)
        return;
    PacketEntry copy = *entry;
    for (int n = 2; m_packets.book().find(copy.name = u"%1 %2"_s.arg(entry->name).arg(n)); ++n) {
    }
    m_packets.book().put(copy);
    save();
    showList(copy.name);
}

void PacketsWindow::pin() {
    const QString name = currentName();
    if (name.isEmpty())
        return;
    bool ok = false;
    const int slot =
        QInputDialog::getInt(this, windowTitle(), u"Pin %1 to Alt+"_s.arg(name),
                             int(m_packets.pins().indexOf(name)) + 1, 1, Packets::PinCount, 1, &ok);
    if (!ok)
        return;
    m_packets.pin(name, slot - 1);
    save();
    showList(name);
}

void PacketsWindow::copyCommandLine() {
    if (!currentName().isEmpty())
        QGuiApplication::clipboard()->setText(m_packets.commandLine(currentName()));
}

void PacketsWindow::save() {
    if (const QString problem = m_packets.save(); !problem.isEmpty())
        m_status->setText(
            u"The packets could not be saved to %1: %2."_s.arg(m_packets.book().path(), problem));
}
