#pragma once

class Form;
struct Settings;

// The persisted settings into the form, as loading them at start-up does.
void showSettings(Form &form, const Settings &settings);

// The persisted settings from the form. The log folder box gains its final separator first, as
// the operator sees on every save.
Settings settingsFromForm(Form &form);
