#pragma once

#include <QString>

// True when `path` ends with the platform's separator (either separator on Windows).
bool endsWithSeparator(const QString &path);

// `path` with the native separator appended unless it already ends with one; empty stays empty.
QString withFinalSeparator(const QString &path);

// `folder` and `name` joined by the native separator, with no separator doubled anywhere (a
// drive root or "/" already ends with one).
QString joinedPath(const QString &folder, const QString &name);

// A folder as a Linux user types it: a leading "~" is the home folder, and a relative folder is
// taken from `base` rather than from wherever the program was started.
QString absoluteFolder(const QString &typed, const QString &base);
