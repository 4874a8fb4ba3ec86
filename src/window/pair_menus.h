#pragma once

#include "window/controls.h"

#include <QObject>

#include <array>

class Configuration;
class Form;
class QLabel;
class QLineEdit;
class QPoint;

// The auto-respond pairs' options on screen. Each watch box's context menu gains "Match"
// (Exactly, Contains, Starts With, Ends With, Regular Expression, Hex Bytes); each response
// box's, "Response as Hex", "Add Line End (CR LF)" and "Delay...". A pair away from the defaults
// shows a tag at the end of its watch box ("regex", "exact 250 ms"...); its tool tip, which the
// form sets, says the same in words.
class PairMenus final : public QObject {
    Q_OBJECT

public:
    PairMenus(Form &form, Configuration &configuration, const Controls &controls, QWidget *window);

private:
    void showWatchMenu(int pair, const QPoint &at);
    void showResponseMenu(int pair, const QPoint &at);
    void askDelay(int pair);
    void showTag(int pair);

    Form &m_form;
    Configuration &m_configuration;
    QWidget *m_window;
    std::array<QLineEdit *, PairCount> m_watch{};
    std::array<QLineEdit *, PairCount> m_response{};
    std::array<QLabel *, PairCount> m_tags{};
};
