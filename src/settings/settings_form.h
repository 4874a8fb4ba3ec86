#pragma once

class Configuration;
class Form;
struct Settings;

// The persisted settings into the form and the configuration, as loading them at start-up does.
void showSettings(Form &form, Configuration &configuration, const Settings &settings);

// The persisted settings from the form and the configuration. The log folder box gains its final
// separator first, as the operator sees on every save.
Settings settingsFromForm(Form &form, const Configuration &configuration);
