#pragma once

#include <QPlainTextEdit>

// The received-data box. It keeps only the newest text (at least MinimumKept characters), so a
// flood cannot exhaust memory, and appending costs time in proportion to the chunk, not to
// the box. text() answers at once; the view catches up on its own, a few times a second, and
// shows very long lines broken into pieces (text() keeps them whole).
class ReceivedDataBox final : public QPlainTextEdit {
    Q_OBJECT

public:
    static constexpr qsizetype MinimumKept = 256 * 1024;

    explicit ReceivedDataBox(QWidget *parent = nullptr);
    ~ReceivedDataBox() override;

    QString text() const;
    void setText(const QString &text);
    void appendText(const QString &text);
    // Received bytes, shown as UTF-8; only the part that can still be seen is ever decoded. A
    // character split between appended chunks shows once, whole, when its last byte arrives.
    void setUtf8(const QByteArray &bytes);
    void appendUtf8(const QByteArray &bytes);

private:
    enum class Urgency { Steady, Soon };
    void scheduleRefresh(Urgency urgency = Urgency::Steady);
    void refreshView();
    void showAfresh(const QString &shown);

    struct Private;
    Private *d;
};
