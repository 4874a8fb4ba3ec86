#pragma once

class QLineEdit;
struct Controls;
struct LogResult;
struct Settings;

// The persisted settings into the controls, as loading them at start-up does.
void showSettings(Controls &controls, const Settings &settings);

// The persisted settings from the controls. The log folder box gains its final separator
// first, as the operator sees on every save.
Settings settingsFromControls(Controls &controls);

// A failed entry turns the log folder box red with a tool tip naming the file and the reason,
// until an entry is written again.
void showLogResult(Controls &controls, const LogResult &result);

// A folder box ends with a separator, as the operator sees on every save and log entry. Only a
// missing one is written back, so the caret stays where it was otherwise.
void giveFinalSeparator(QLineEdit *box);
