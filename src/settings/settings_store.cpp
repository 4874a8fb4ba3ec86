#include "settings/settings_store.h"

#include "settings/settings_tls.h"

#include "respond/response_rule.h"
#include "runtime/leading_number.h"
#include "runtime/paths.h"
#include "runtime/tokens.h"
#include "settings/ini_value.h"
#include "settings/profile_document.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>

#include <cmath>
#include <functional>

namespace {

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
std::optional<int> checkValue(const SettingValue &value) {
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
    if (number < 0 || number > 2)
        return std::nullopt;
    return number;
}

} // namespace

SettingsLocation SettingsLocation::forThisProgram() {
    return {QCoreApplication::applicationDirPath(),
            QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation),
            QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)};
}

SettingsStore::SettingsStore(SettingsLocation location) : m_location(std::move(location)) {}

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
    return joinedPath(folder, QStringLiteral("Sendrel_Settings.ini"));
}

QString SettingsStore::logBaseFolder() const {
    return programFolderWritable() ? m_location.programFolder : m_location.userDataFolder;
}

QString SettingsStore::defaultLogFolder() const {
    return withFinalSeparator(joinedPath(logBaseFolder(), QStringLiteral("Sendrel_Logs")));
}

void SettingsStore::noteProblem(const QString &problem) const {
    if (!problem.isEmpty() && m_problem.isEmpty())
        m_problem = problem;
}

QString SettingsStore::readStored(const QString &section, const QString &key) const {
    const QString file = settingsFilePath();
    QString why;
    const QString text = ReadIniValue(file, section, key, &why);
    if (!why.isEmpty())
        noteProblem(QStringLiteral("The settings could not be read from %1: %2.")
                        .arg(QDir::toNativeSeparators(file), why));
    return text;
}

SettingValue SettingsStore::ReadSetting(const QString &section, const QString &key,
                                        const SettingValue &defaultValue) const {
    const QString text = withoutOuterSpaces(readStored(section, key));

    // Empty text, and text that begins with a control character, give the default.
    const SettingValue candidate = (text > QStringLiteral(" ")) ? SettingValue(text) : defaultValue;
    const QString upper = settingText(candidate).toUpper();
    if (upper == u"TRUE")
        return true;
    if (upper == u"FALSE")
        return false;
    return candidate;
}

QString SettingsStore::readText(const QString &key, const QString &defaultText) const {
    const QString text = readStored(SettingsSection, key);
    return text.isEmpty() ? defaultText : text;
}

namespace {

QString saveProblem(const QString &file, const QString &why) {
    return QStringLiteral("The settings could not be saved to %1: %2.")
        .arg(QDir::toNativeSeparators(file),
             why.isEmpty() ? QStringLiteral("the file cannot be written") : why);
}

} // namespace

QString SettingsStore::fileToWrite() const {
    if (!programFolderWritable() && !m_location.userConfigFolder.isEmpty())
        QDir().mkpath(m_location.userConfigFolder);
    return settingsFilePath();
}

bool SettingsStore::WriteSetting(const QString &section, const QString &key,
                                 const SettingValue &value) const {
    const QString file = fileToWrite();
    QString why;
    const bool written = WriteIniValue(file, section, key, value, &why);
    if (!written)
        noteProblem(saveProblem(file, why));
    return written;
}

Settings SettingsStore::LoadSettings() const {
    m_problem.clear();
    m_keptBad.clear();
    Settings s;

    s.port = readText(QStringLiteral("Port"), s.port);
    // Read as the port box reads it ("abc" is 0, "7000.9" is 7000); only a number no port can
    // have is refused.
    if (const double port = std::floor(leadingNumber(s.port)); !(port >= 0 && port <= 65535))
        noteBad(s, QStringLiteral("Port"), s.port, QStringLiteral("the port must be 0 to 65535"));
    s.udp = !isZero(ReadSetting(SettingsSection, QStringLiteral("TcpUdpMode"), 0));
    s.createLog = !isZero(ReadSetting(SettingsSection, QStringLiteral("CreateLog"), 0));
    s.httpRequests = !isTextZero(
        ReadSetting(SettingsSection, QStringLiteral("ReceiveMode"), QStringLiteral("0")));
    s.logPath = withFinalSeparator(readText(QStringLiteral("LogPath"), defaultLogFolder()));
    s.enableAutoRespond =
        checkValue(ReadSetting(SettingsSection, QStringLiteral("EnableAutoRespond"), 0));
    for (int i = 0; i < PairCount; ++i) {
        s.watchStrings[i] = readText(QStringLiteral("WatchString%1").arg(i), {});
        s.responseStrings[i] = readText(QStringLiteral("ResponseString%1").arg(i), {});
    }

    s.showHex = !isZero(ReadSetting(SettingsSection, QStringLiteral("ShowHex"), 0));
    s.showTimeStamps = !isZero(ReadSetting(SettingsSection, QStringLiteral("ShowTimeStamps"), 0));
    s.sendAsHex = !isZero(ReadSetting(SettingsSection, QStringLiteral("SendAsHex"), 0));
    bool zoomRead = false;
    const int zoom =
        settingText(ReadSetting(SettingsSection, QStringLiteral("TextZoom"), s.textZoom))
            .toInt(&zoomRead);
    if (zoomRead)
        s.textZoom = zoom;

    loadNetworkOptions(s);
    loadPairOptions(s);
    loadRelayOptions(s);
    loadTlsOptions(s);
    return s;
}

namespace {

using KeyWrite = std::function<void(const QString &key, const SettingValue &value)>;
// Writes a key that is in the file already, or whose value differs from its default.
using AdditionWrite =
    std::function<void(const QString &key, const SettingValue &value, bool changed)>;

// The keys every settings file holds, in their order.
void writeClassicKeys(const Settings &s, const KeyWrite &write) {
    write(QStringLiteral("Port"), s.port);
    write(QStringLiteral("TcpUdpMode"), s.udp ? 1 : 0);
    write(QStringLiteral("CreateLog"), s.createLog ? 1 : 0);
    write(QStringLiteral("ReceiveMode"),
          s.httpRequests ? QStringLiteral("1") : QStringLiteral("0"));
    write(QStringLiteral("LogPath"), withFinalSeparator(s.logPath));
    write(QStringLiteral("EnableAutoRespond"), s.enableAutoRespond.value_or(0));
    for (int i = 0; i < PairCount; ++i) {
        write(QStringLiteral("WatchString%1").arg(i), withLineBreakTokens(s.watchStrings[i]));
        write(QStringLiteral("ResponseString%1").arg(i), withLineBreakTokens(s.responseStrings[i]));
    }
}

void writeViewOptions(const Settings &s, const AdditionWrite &writeChanged) {
    writeChanged(QStringLiteral("ShowHex"), s.showHex ? 1 : 0, s.showHex);
    writeChanged(QStringLiteral("ShowTimeStamps"), s.showTimeStamps ? 1 : 0, s.showTimeStamps);
    writeChanged(QStringLiteral("SendAsHex"), s.sendAsHex ? 1 : 0, s.sendAsHex);
    writeChanged(QStringLiteral("TextZoom"), s.textZoom, s.textZoom != Settings().textZoom);
}

void writeNetworkOptions(const NetworkOptions &net, const AdditionWrite &writeChanged) {
    writeChanged(QStringLiteral("ListenAddress"),
                 net.unusableListenAddress.isEmpty() ? listenAddressText(net.listenAddress)
                                                     : net.unusableListenAddress,
                 !net.listenAddress.isNull() || !net.unusableListenAddress.isEmpty());
    writeChanged(QStringLiteral("MulticastGroups"), multicastGroupsText(net.multicastGroups),
                 !net.multicastGroups.isEmpty());
    writeChanged(QStringLiteral("MulticastInterface"), net.multicastInterface,
                 !net.multicastInterface.isEmpty());
    writeChanged(QStringLiteral("AllowBroadcast"), switchText(net.allowBroadcast),
                 net.allowBroadcast);
    writeChanged(QStringLiteral("MulticastTtl"), QString::number(net.multicastTtl),
                 net.multicastTtl != NetworkOptions().multicastTtl);
    writeChanged(QStringLiteral("SendFromListenPort"), switchText(net.sendFromListenPort),
                 net.sendFromListenPort);
}

void writePairOptions(const std::array<PairOptions, PairCount> &pairs,
                      const AdditionWrite &writeChanged) {
    const PairOptions defaults;
    for (int i = 0; i < PairCount; ++i) {
        const PairOptions &options = pairs[i];
        const QString n = QString::number(i);
        const QString mode = matchModeName(options.mode);
        writeChanged(QStringLiteral("WatchMode") + n,
                     mode.isEmpty() ? QStringLiteral("exact") : mode,
                     options.mode != defaults.mode);
        writeChanged(QStringLiteral("ResponseHex") + n, options.responseHex ? 1 : 0,
                     options.responseHex != defaults.responseHex);
        writeChanged(QStringLiteral("ResponseLineEnd") + n, options.lineEnd ? 1 : 0,
                     options.lineEnd != defaults.lineEnd);
        writeChanged(QStringLiteral("ResponseDelay") + n, options.delayMs,
                     options.delayMs != defaults.delayMs);
    }
}

void writeRelayOptions(const RelayOptions &relay, const AdditionWrite &writeChanged) {
    writeChanged(QStringLiteral("RelayTarget"), relay.active() ? relay.targetText() : QString(),
                 relay.active());
    for (const bool up : {true, false}) {
        const LinkFaults &faults = up ? relay.up : relay.down;
        const QString way = up ? QStringLiteral("Up") : QStringLiteral("Down");
        writeChanged(QStringLiteral("RelayDelay") + way, delayText(faults), faults.delayMaxMs > 0);
        writeChanged(QStringLiteral("RelayDrop") + way, faults.dropPercent, faults.dropPercent > 0);
        writeChanged(QStringLiteral("RelayRate") + way, QString::number(faults.ratePerSecond),
                     faults.ratePerSecond > 0);
        writeChanged(QStringLiteral("RelayCut") + way, QString::number(faults.cutAfter),
                     faults.cutAfter > 0);
    }
    writeChanged(QStringLiteral("RelayTargetTls"), relay.targetTls ? 1 : 0, relay.targetTls);
}

// Every key, in the file's order.
void writeAll(const Settings &s, const KeyWrite &write, const AdditionWrite &writeChanged) {
    writeClassicKeys(s, write);
    writeViewOptions(s, writeChanged);
    writeNetworkOptions(s.network, writeChanged);
    writePairOptions(s.pairOptions, writeChanged);
    writeRelayOptions(s.relay, writeChanged);
    writeTlsOptions(s.tls, s.clientTls, writeChanged);
}

// Each key as a save would write it, and whether it is to be written into a file that lacks it.
QHash<QString, std::pair<QByteArray, bool>> writtenKeys(const Settings &s) {
    QHash<QString, std::pair<QByteArray, bool>> keys;
    writeAll(
        s,
        [&keys](const QString &key, const SettingValue &value) {
            keys.insert(key, {storedValueBytes(value), true});
        },
        [&keys](const QString &key, const SettingValue &value, bool changed) {
            keys.insert(key, {storedValueBytes(value), changed});
        });
    return keys;
}

} // namespace

void SettingsStore::SaveSettings(const Settings &s) const {
    save(s, {});
}

void SettingsStore::SaveChanges(const Settings &before, const Settings &after) const {
    const auto old = writtenKeys(before);
    QSet<QString> changed;
    for (const auto &[key, written] : writtenKeys(after).asKeyValueRange())
        if (old.value(key) != written)
            changed.insert(key);
    if (!changed.isEmpty())
        save(after, changed);
}

void SettingsStore::save(const Settings &s, const QSet<QString> &only) const {
    if (m_location.readOnly)
        return;
    m_problem.clear();

    // Every key is set in memory and the file replaced once: a crash or a full disk part way
    // through leaves the old file whole, and a save that changes nothing leaves it untouched.
    const QString file = fileToWrite();
    ProfileFile::Document document;
    QString why;
    if (!document.load(file, &why)) {
        noteProblem(saveProblem(file, why));
        return;
    }
    const QByteArray section = SettingsSection.toUtf8();
    const KeyWrite write = [&](const QString &key, const SettingValue &value) {
        if (!only.isEmpty() && !only.contains(key))
            return;
        QString refused;
        if (!document.setValue(section, key.toUtf8(), storedValueBytes(value), &refused))
            noteProblem(saveProblem(file, refused));
    };
    // Additions stay out of a file until they first differ from their default; once in it, they
    // follow every change.
    const AdditionWrite writeChanged = [&](const QString &key, const SettingValue &value,
                                           bool changed) {
        // Only for a key this save writes: asking about another value forgets the stored one.
        if ((!only.isEmpty() && !only.contains(key)) || keepsBad(key, value))
            return;
        if (changed || !document.value(section, key.toUtf8()).value_or(QByteArray()).isEmpty())
            write(key, value);
    };
    writeAll(s, write, writeChanged);

    if (!document.save(&why))
        noteProblem(saveProblem(file, why));
}
