#pragma once

#include "settings/settings_store.h"

// A setting value as the text that is stored: integers in decimal, booleans as True/False.
QString settingText(const SettingValue &value);

// `text` without the space characters (code 32 only) at either end.
QString withoutOuterSpaces(QString text);
