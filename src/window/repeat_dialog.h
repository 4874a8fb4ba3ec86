#pragma once

#include <QDialog>

class QSpinBox;

// Asks how often and how many times "Send Data" is pressed for the operator.
class RepeatDialog final : public QDialog {
    Q_OBJECT

public:
    RepeatDialog(int intervalMs, int count, QWidget *parent = nullptr);

    int intervalMs() const;
    int count() const; // 0: until stopped

private:
    QSpinBox *m_interval;
    QSpinBox *m_count;
};
