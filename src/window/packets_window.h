#pragma once

#include <QDialog>

class Packets;
class QHBoxLayout;
class QLabel;
class QTreeWidget;
struct PacketEntry;

// The saved packets and sequences: a list (name, target, data) to send from (Enter or a double
// click), edit, delete, duplicate, pin to Alt+1..Alt+9 and copy as a command line, with the step
// a run is at and its result below. Every edit is saved to the packet file at once.
class PacketsWindow final : public QDialog {
    Q_OBJECT

public:
    PacketsWindow(Packets &packets, QWidget *parent);

    // Opens the editor on a packet that is not in the book yet (from the send box or a chunk).
    void addPacket(const PacketEntry &entry);
    QTreeWidget *list() const { return m_list; }
    void showStatus(const QString &text);

    // The computed-field syntax, as the help button shows it.
    static QString helpText();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QHBoxLayout *makeButtons();
    QLabel *makeStatus();
    void followRuns();
    void showList(const QString &current = {});
    QString currentName() const;
    void send();
    void edit(const PacketEntry &entry, const QString &replacing);
    void remove();
    void duplicate();
    void pin();
    void copyCommandLine();
    void save();

    Packets &m_packets;
    QTreeWidget *m_list = nullptr;
    QLabel *m_status = nullptr;
};
