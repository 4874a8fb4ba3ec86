#pragma once

#include <QString>
#include <functional>

class QWidget;
struct Controls;

// The system's folder picker, titled `title`, folders only; empty text when cancelled.
QString BrowseForFolder(QWidget *owner, const QString &title);

// The "..." button beside the log folder box.
class FolderChooser {
public:
    using Browser = std::function<QString(QWidget *owner, const QString &title)>;

    explicit FolderChooser(Controls &controls, Browser browse = BrowseForFolder);

    void btnLogLocation_Click();

private:
    Controls &m_controls;
    Browser m_browse;
};
