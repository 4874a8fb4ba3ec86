#include "settings/settings_store.h"

#include "form/controls.h"
#include "settings/ini_value.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QRadioButton>
#include <QStandardPaths>

namespace {

const QString SettingsSection = QStringLiteral("Settings");
constexpr int PairCount = 7;

bool endsWithSeparator(const QString &path) {
#ifdef Q_OS_WIN
    return path.endsWith(u'\\') || path.endsWith(u'/');
#else
    return path.endsWith(QDir::separator());
#endif
}

// `folder` and `name` joined by the native separator, with no separator doubled anywhere
// (a drive root or "/" already ends with one).
QString joined(const QString &folder, const QString &name) {
    const QChar sep = QDir::separator();
    QString path = QDir::toNativeSeparators(folder + u'/' + name);
    const QString doubled(2, sep);
#ifdef Q_OS_WIN
    const bool unc = path.startsWith(doubled); // \\server\share keeps its prefix
#else
    const bool unc = false;
#endif
    qsizetype at = unc ? 1 : 0;
    while ((at = path.indexOf(doubled, at)) >= 0)
        path.remove(at, 1);
    return path;
}

// Compared with the number 0; text that is not a number counts as 0.
bool isZero(const SettingValue &value) {
    if (const int *number = std::get_if<int>(&value))
        return *number == 0;
    if (const bool *flag = std::get_if<bool>(&value))
        return !*flag;
    bool ok = false;
    const double number = std::get<QString>(value).toDouble(&ok);
    return !ok || number == 0;
}

// Compared with the text "0"; a stored FALSE counts as 0, a TRUE does not.
bool isTextZero(const SettingValue &value) {
    if (const QString *text = std::get_if<QString>(&value))
        return *text == u"0";
    return isZero(value);
}

// A check-box Value from a stored value: a whole number from 0 to 2, or nothing.
std::optional<Qt::CheckState> checkState(const SettingValue &value) {
    int number = -1;
    if (const int *stored = std::get_if<int>(&value)) {
        number = *stored;
    } else if (const QString *text = std::get_if<QString>(&value)) {
        bool ok = false;
        number = text->toShort(&ok);
        if (!ok)
            return std::nullopt;
    } else {
        number = std::get<bool>(value) ? -1 : 0;
    }
    switch (number) {
    case 0:
        return Qt::Unchecked;
    case 1:
        return Qt::Checked;
    case 2:
        return Qt::PartiallyChecked;
    default:
        return std::nullopt;
    }
}

// A check box's Value: 0 unchecked, 1 checked, 2 grey (Qt numbers grey as 1).
int checkValue(Qt::CheckState state) {
    return state == Qt::Checked ? 1 : state == Qt::PartiallyChecked ? 2 : 0;
}

// Line breaks in watch and response strings are kept as the tokens that stand for them.
QString withLineBreakTokens(QString text) {
    return text.replace(u'\r', QStringLiteral("%CR%")).replace(u'\n', QStringLiteral("%LF%"));
}

} // namespace

SettingsLocation SettingsLocation::forThisProgram() {
    return {QCoreApplication::applicationDirPath(),
            QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation),
            QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)};
}

SettingsStore::SettingsStore(Controls &controls, SettingsLocation location)
    : m_controls(controls), m_location(std::move(location)) {}

bool SettingsStore::programFolderWritable() const {
    const QFileInfo folder(m_location.programFolder);
    // An installed copy lives under /usr, which stays read-only by convention even for root.
    const QString canonical = folder.canonicalFilePath() + QDir::separator();
    return folder.isDir() && folder.isWritable() && !canonical.startsWith(u"/usr/");
}

QString SettingsStore::settingsFilePath() const {
    if (!m_location.iniFile.isEmpty())
        return m_location.iniFile;
    const QString &folder =
        programFolderWritable() ? m_location.programFolder : m_location.userConfigFolder;
    return joined(folder, QStringLiteral("Sendrel_Settings.ini"));
}

QString SettingsStore::defaultLogFolder() const {
    const QString &folder =
        programFolderWritable() ? m_location.programFolder : m_location.userDataFolder;
    return joined(folder, QStringLiteral("Sendrel_Logs")) + QDir::separator();
}

SettingValue SettingsStore::ReadSetting(const QString &section, const QString &key,
                                        const SettingValue &defaultValue) const {
    const QString text = withoutOuterSpaces(ReadIniValue(settingsFilePath(), section, key));

    // Empty text, and text that begins with a control character, give the default.
    const SettingValue candidate = (text > QStringLiteral(" ")) ? SettingValue(text) : defaultValue;
    const QString upper = settingText(candidate).toUpper();
    if (upper == u"TRUE")
        return true;
    if (upper == u"FALSE")
        return false;
    return candidate;
}

QString SettingsStore::ReadText(const QString &key, const QString &defaultText) const {
    const QString text = ReadIniValue(settingsFilePath(), SettingsSection, key);
    return text.isEmpty() ? defaultText : text;
}

bool SettingsStore::WriteSetting(const QString &section, const QString &key,
                                 const SettingValue &value) const {
    if (!programFolderWritable() && !m_location.userConfigFolder.isEmpty())
        QDir().mkpath(m_location.userConfigFolder);
    return WriteIniValue(settingsFilePath(), section, key, value);
}

void SettingsStore::LoadSettings() {
    Controls &c = m_controls;

    c.txtListenPort->setText(ReadText(QStringLiteral("Port"), QStringLiteral("7000")));

    if (isZero(ReadSetting(SettingsSection, QStringLiteral("TcpUdpMode"), 0)))
        c.optTCP[0]->setChecked(true);
    else
        c.optTCP[1]->setChecked(true);

    const bool logging = !isZero(ReadSetting(SettingsSection, QStringLiteral("CreateLog"), 0));
    c.chkLogData->setCheckState(logging ? Qt::Checked : Qt::Unchecked);

    const bool general = isTextZero(
        ReadSetting(SettingsSection, QStringLiteral("ReceiveMode"), QStringLiteral("0")));
    c.optReceiveType[0]->setChecked(general);
    c.optReceiveType[1]->setChecked(!general);

    c.txtLogPath->setText(ReadText(QStringLiteral("LogPath"), defaultLogFolder()));
    if (!endsWithSeparator(c.txtLogPath->text()))
        c.txtLogPath->setText(c.txtLogPath->text() + QDir::separator());

    const std::optional<Qt::CheckState> autoRespond =
        checkState(ReadSetting(SettingsSection, QStringLiteral("EnableAutoRespond"), 0));
    if (autoRespond)
        c.chkEnableAutoRespond->setCheckState(*autoRespond);

    for (int i = 0; i < PairCount; ++i) {
        c.txtWatchString[i]->setText(ReadText(QStringLiteral("WatchString%1").arg(i), {}));
        c.txtResponseString[i]->setText(ReadText(QStringLiteral("ResponseString%1").arg(i), {}));
    }
}

void SettingsStore::SaveSettings() {
    if (m_location.readOnly)
        return;
    Controls &c = m_controls;

    WriteSetting(SettingsSection, QStringLiteral("Port"), c.txtListenPort->text());
    WriteSetting(SettingsSection, QStringLiteral("TcpUdpMode"), c.optTCP[0]->isChecked() ? 0 : 1);
    WriteSetting(SettingsSection, QStringLiteral("CreateLog"),
                 c.chkLogData->checkState() == Qt::Unchecked ? 0 : 1);
    WriteSetting(SettingsSection, QStringLiteral("ReceiveMode"),
                 c.optReceiveType[0]->isChecked() ? QStringLiteral("0") : QStringLiteral("1"));

    if (!endsWithSeparator(c.txtLogPath->text()))
        c.txtLogPath->setText(c.txtLogPath->text() + QDir::separator());
    WriteSetting(SettingsSection, QStringLiteral("LogPath"), c.txtLogPath->text());

    WriteSetting(SettingsSection, QStringLiteral("EnableAutoRespond"),
                 checkValue(c.chkEnableAutoRespond->checkState()));

    for (int i = 0; i < PairCount; ++i) {
        WriteSetting(SettingsSection, QStringLiteral("WatchString%1").arg(i),
                     withLineBreakTokens(c.txtWatchString[i]->text()));
        WriteSetting(SettingsSection, QStringLiteral("ResponseString%1").arg(i),
                     withLineBreakTokens(c.txtResponseString[i]->text()));
    }
}
