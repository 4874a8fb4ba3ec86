#include "cli/command_line.h"

#include "cli/argument_check.h"
#include "cli/control_arguments.h"
#include "cli/option_table.h"
#include "cli/relay_arguments.h"
#include "cli/tls_arguments.h"
#include "model/form.h"
#include "respond/rule_text.h"
#include "runtime/hex_text.h"
#include "runtime/host_port.h"
#include "runtime/leading_number.h"
#include "runtime/shown_text.h"
#include "sender/file_send.h"
#include "sender/repeat_send.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <array>
#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString Program = u"sendrel"_s;
const QString Usage = u"Usage: sendrel [--settings FILE]\n"
                      "       sendrel --headless [options]\n"
                      "       sendrel --send TEXT --to HOST:PORT [options]\n"
                      "       sendrel --send-file PATH --to HOST:PORT [options]\n"
                      "       sendrel --packet NAME [--to HOST:PORT] | --sequence NAME |\n"
                      "               --list-packets [--packets FILE]\n\n"_s;

CommandLine finished(int exitCode, const QString &message) {
    CommandLine line;
    line.exitCode = exitCode;
    line.message = message;
    return line;
}

CommandLine usageError(const QString &what) {
    return finished(2, Program + u": "_s + what + u"\nTry '"_s + Program
                           + u" --help' for more information.\n"_s);
}

// Every numeric option is read by one rule (decimalNumber), then held to its range.
std::optional<int> numberIn(const QString &text, int first, int last) {
    const std::optional<qint64> number = decimalNumber(text, last);
    if (!number || *number < first)
        return std::nullopt;
    return int(*number);
}

// The network options, checked as the dialog checks them; the first problem, or nothing.
// --bind and --join shape the listener; the rest also a UDP send.
QString networkOptions(const QCommandLineParser &parser, CommandLine &line) {
    const bool listening = line.mode == CommandLine::Mode::Headless;
    const bool udpSend = line.mode == CommandLine::Mode::Send && parser.isSet(u"udp"_s);
    for (const QString &name : {u"bind"_s, u"join"_s}) {
        if (parser.isSet(name) && !listening)
            return u"--%1 works only with --headless"_s.arg(name);
    }
    if (parser.isSet(u"join"_s) && parser.isSet(u"tcp"_s))
        return u"--join works only with UDP, not --tcp"_s;
    for (const QString &name : {u"interface"_s, u"broadcast"_s, u"ttl"_s}) {
        if (parser.isSet(name) && !listening && !udpSend)
            return u"--%1 works only with --headless or --send --udp"_s.arg(name);
    }
    NetworkOptions given;
    if (parser.isSet(u"bind"_s)) {
        if (const QString error = parseListenAddress(parser.value(u"bind"_s), given.listenAddress);
            !error.isEmpty())
            return u"--bind: "_s + error;
        line.bindAddress = given.listenAddress;
    }
    for (const QString &text : parser.values(u"join"_s)) {
        QHostAddress group;
        if (const QString error = parseMulticastGroup(text, group); !error.isEmpty())
            return u"--join: "_s + error;
        if (!given.multicastGroups.contains(group))
            given.multicastGroups.append(group);
    }
    line.groups = given.multicastGroups;
    if (parser.isSet(u"interface"_s)) {
        given.multicastInterface = parser.value(u"interface"_s);
        if (const QString error = checkInterfaceName(given.multicastInterface); !error.isEmpty())
            return u"--interface: "_s + error;
        line.interfaceName = given.multicastInterface;
    }
    line.broadcast = parser.isSet(u"broadcast"_s);
    if (parser.isSet(u"ttl"_s)) {
        if (!decimalNumber(parser.value(u"ttl"_s), std::numeric_limits<int>::max()))
            return u"--ttl: the multicast TTL %1 is not a whole number"_s.arg(
                shownValue(parser.value(u"ttl"_s)));
        if (const QString error = parseMulticastTtl(parser.value(u"ttl"_s), given.multicastTtl);
            !error.isEmpty())
            return u"--ttl: "_s + error;
        line.ttl = given.multicastTtl;
    }
    if (parser.isSet(u"udp-buffer"_s)) {
        if (!listening)
            return u"--udp-buffer works only with --headless"_s;
        if (parser.isSet(u"tcp"_s))
            return u"--udp-buffer works only with UDP, not --tcp"_s;
        if (const QString error =
                parseReceiveBuffer(parser.value(u"udp-buffer"_s), given.udpReceiveBufferKiB);
            !error.isEmpty())
            return u"--udp-buffer: "_s + error;
        line.udpBufferKiB = given.udpReceiveBufferKiB;
    }
    return checkNetworkOptions(given);
}

constexpr std::array<MatchMode, 6> RespondModes{MatchMode::Exact,  MatchMode::Contains,
                                                MatchMode::Starts, MatchMode::Ends,
                                                MatchMode::Regex,  MatchMode::Hex};

// The pairs from the respond options and --respond-delay, in the order given, then the rules
// files; empty when all is well, else the usage error.
QString readRespondOptions(const QCommandLineParser &parser, CommandLine &line) {
    QHash<QString, qsizetype> seen; // how many values of each option are taken
    for (const QString &name : parser.optionNames()) {
        const QString value = parser.values(name).value(seen[name]++);
        if (name == u"respond-delay"_s) {
            const std::optional<int> delay = delayFromText(value);
            if (line.pairs.isEmpty())
                return u"--respond-delay applies to the pair before it, and none is"_s;
            if (!delay)
                return u"--respond-delay needs 0 to %1 ms, not '%2'"_s.arg(ResponseRule::MaxDelayMs)
                    .arg(shownValue(value));
            line.pairs.last().delayMs = *delay;
            continue;
        }
        if (name == u"respond-file"_s) {
            const RulesFromText file = readRulesFile(value);
            if (!file.error.isEmpty())
                return u"--respond-file: "_s + file.error;
            line.fileRules += file.rules;
            continue;
        }
        for (const MatchMode mode : RespondModes) {
            if (name != respondOption(mode))
                continue;
            if (line.pairs.size() == PairCount)
                return u"at most %1 --respond pairs"_s.arg(PairCount);
            const RuleFromText pair = ruleFromOption(mode, value);
            if (!pair.error.isEmpty())
                return pair.error;
            line.pairs.append(pair.rule);
        }
    }
    return {};
}

// --repeat and --interval, which shape a send; empty when all is well, else the usage error.
QString readRepeatOptions(const QCommandLineParser &parser, CommandLine &line) {
    for (const QString &name : {u"repeat"_s, u"interval"_s}) {
        if (parser.isSet(name) && line.mode != CommandLine::Mode::Send)
            return u"--%1 works only with --send"_s.arg(name);
    }
    if (parser.isSet(u"interval"_s) && !parser.isSet(u"repeat"_s))
        return u"--interval works only with --repeat"_s;
    if (parser.isSet(u"repeat"_s)) {
        line.repeat = numberIn(parser.value(u"repeat"_s), 0, std::numeric_limits<int>::max());
        if (!line.repeat)
            return u"--repeat needs a count (0: until interrupted), not '%1'"_s.arg(
                shownValue(parser.value(u"repeat"_s)));
    }
    if (parser.isSet(u"interval"_s)) {
        const std::optional<int> interval = numberIn(
            parser.value(u"interval"_s), RepeatSend::MinIntervalMs, RepeatSend::MaxIntervalMs);
        line.intervalMs = interval.value_or(0);
        if (!interval)
            return u"--interval needs %1 to %2 ms, not '%3'"_s.arg(RepeatSend::MinIntervalMs)
                .arg(RepeatSend::MaxIntervalMs)
                .arg(shownValue(parser.value(u"interval"_s)));
    }
    return {};
}

// Only the pairs, the rules files and the groups add up; any other value given twice would
// quietly lose one of them.
QString valueGivenTwice(const QCommandLineParser &parser,
                        const QList<QCommandLineOption> &options) {
    for (const QCommandLineOption &option : options) {
        const QString name = option.names().constLast();
        if (!option.valueName().isEmpty() && !name.startsWith(u"respond"_s) && name != u"join"_s
            && !name.startsWith(u"relay-"_s) && parser.values(name).size() > 1)
            return u"--%1 given more than once"_s.arg(name);
    }
    return {};
}

// --packet, --sequence or --list-packets, each on its own; --packets with any mode.
QString readPacketMode(const QCommandLineParser &parser, CommandLine &line) {
    if (parser.isSet(u"packets"_s)) {
        if (parser.value(u"packets"_s).isEmpty())
            return u"--packets needs a file"_s;
        line.packetsFile = QFileInfo(parser.value(u"packets"_s)).absoluteFilePath();
    }
    const QStringList runs{u"packet"_s, u"sequence"_s, u"list-packets"_s};
    const qsizetype given = std::count_if(runs.begin(), runs.end(),
                                          [&](const QString &name) { return parser.isSet(name); });
    if (given == 0)
        return {};
    if (given > 1)
        return u"--packet, --sequence and --list-packets exclude each other"_s;
    if (parser.isSet(u"headless"_s) || parser.isSet(u"send"_s) || parser.isSet(u"send-file"_s))
        return u"--packet, --sequence and --list-packets exclude --headless and --send"_s;
    if (parser.isSet(u"to"_s) && !parser.isSet(u"packet"_s))
        return u"--to works only with --send or --packet"_s;
    line.mode = CommandLine::Mode::Packets;
    line.packetName = parser.value(u"packet"_s);
    line.sequenceName = parser.value(u"sequence"_s);
    line.listPackets = parser.isSet(u"list-packets"_s);
    if (parser.isSet(u"packet"_s) && line.packetName.isEmpty())
        return u"--packet needs a name"_s;
    if (parser.isSet(u"sequence"_s) && line.sequenceName.isEmpty())
        return u"--sequence needs a name"_s;
    return {};
}

// Window, --headless or --send, and the options that only one of them takes.
QString readMode(const QCommandLineParser &parser, CommandLine &line) {
    const bool fileSend = parser.isSet(u"send-file"_s);
    const bool sending = parser.isSet(u"send"_s) || fileSend;
    if (parser.isSet(u"send"_s) && fileSend)
        return u"--send and --send-file exclude each other"_s;
    if (parser.isSet(u"headless"_s) && sending)
        return u"--headless and --send exclude each other"_s;
    if (const QString error = readPacketMode(parser, line); !error.isEmpty())
        return error;
    if (sending != parser.isSet(u"to"_s) && !parser.isSet(u"packet"_s))
        return u"--send and --to go together"_s;
    if (line.mode != CommandLine::Mode::Packets)
        line.mode = parser.isSet(u"headless"_s) ? CommandLine::Mode::Headless
                    : sending                   ? CommandLine::Mode::Send
                                                : CommandLine::Mode::Window;
    const bool listening = line.mode == CommandLine::Mode::Headless;
    const bool screenless = line.mode != CommandLine::Mode::Window;
    for (const QString &name :
         {u"port"_s, u"http"_s, u"log"_s, u"respond"_s, u"respond-contains"_s, u"respond-starts"_s,
          u"respond-ends"_s, u"respond-regex"_s, u"respond-hex"_s, u"respond-delay"_s,
          u"respond-file"_s, u"stats"_s}) {
        if (parser.isSet(name) && !listening)
            return u"--%1 works only with --headless"_s.arg(name);
    }
    for (const QString &name : {u"tcp"_s, u"udp"_s, u"hex"_s, u"quiet"_s, u"verbose"_s}) {
        if (parser.isSet(name) && !screenless)
            return u"--%1 works only with --headless or --send"_s.arg(name);
    }
    return {};
}

// The settings file, and where and how the listener listens and logs.
QString readListenOptions(const QCommandLineParser &parser, CommandLine &line) {
    if (parser.isSet(u"settings"_s))
        line.settingsFile = QFileInfo(parser.value(u"settings"_s)).absoluteFilePath();
    if (parser.isSet(u"tcp"_s) && parser.isSet(u"udp"_s))
        return u"--tcp and --udp exclude each other"_s;
    if (parser.isSet(u"tcp"_s) || parser.isSet(u"udp"_s))
        line.tcp = parser.isSet(u"tcp"_s);
    if (parser.isSet(u"port"_s)) {
        line.port = numberIn(parser.value(u"port"_s), 0, 65535);
        if (!line.port)
            return u"--port needs a number from 0 to 65535, not '%1'"_s.arg(
                shownValue(parser.value(u"port"_s)));
    }
    line.http = parser.isSet(u"http"_s);
    if (parser.isSet(u"log"_s)) {
        if (parser.value(u"log"_s).isEmpty())
            return u"--log needs a folder"_s;
        line.logFolder = QFileInfo(parser.value(u"log"_s)).absoluteFilePath();
    }
    return {};
}

// How a send waits, repeats and cuts a file.
QString readSendOptions(const QCommandLineParser &parser, CommandLine &line) {
    const bool fileSend = parser.isSet(u"send-file"_s);
    if (parser.isSet(u"wait"_s) && line.mode != CommandLine::Mode::Send
        && line.mode != CommandLine::Mode::Packets)
        return u"--wait works only with --send"_s;
    if (parser.isSet(u"wait"_s)) {
        const std::optional<int> wait =
            numberIn(parser.value(u"wait"_s), 0, std::numeric_limits<int>::max());
        line.waitMs = wait.value_or(0);
        line.waitGiven = true;
        if (!wait)
            return u"--wait needs a number of milliseconds, not '%1'"_s.arg(
                shownValue(parser.value(u"wait"_s)));
    }
    if (const QString error = readRepeatOptions(parser, line); !error.isEmpty())
        return error;
    if (line.repeat && fileSend)
        return u"--repeat works only with --send TEXT"_s;
    if (parser.isSet(u"block"_s)) {
        if (!fileSend || !parser.isSet(u"udp"_s))
            return u"--block works only with --send-file --udp"_s;
        line.sendBlock = numberIn(parser.value(u"block"_s), 1, FileSend::MaxBlock);
        if (!line.sendBlock)
            return u"--block needs a number of bytes from 1 to %1, not '%2'"_s
                .arg(FileSend::MaxBlock)
                .arg(shownValue(parser.value(u"block"_s)));
    }
    if (parser.isSet(u"max-bytes"_s)) {
        if (!fileSend)
            return u"--max-bytes works only with --send-file"_s;
        line.maxBytes = decimalNumber(parser.value(u"max-bytes"_s), FileSend::MostBytes);
        if (!line.maxBytes)
            return u"--max-bytes needs a number of bytes up to %1, not '%2'"_s
                .arg(FileSend::MostBytes)
                .arg(shownValue(parser.value(u"max-bytes"_s)));
    }
    return {};
}

// What a send sends and where to.
QString readSendTarget(const QCommandLineParser &parser, CommandLine &line) {
    const bool fileSend = parser.isSet(u"send-file"_s);
    if (fileSend && parser.value(u"send-file"_s).isEmpty())
        return u"--send-file needs a file"_s;
    line.sendFile = parser.value(u"send-file"_s);
    if (line.mode == CommandLine::Mode::Packets && parser.isSet(u"to"_s)
        && !splitHostPort(parser.value(u"to"_s), line.sendHost, line.sendPort))
        return u"--to needs HOST:PORT with a port from 1 to 65535, not '%1'"_s.arg(
            shownValue(parser.value(u"to"_s)));
    if (line.mode == CommandLine::Mode::Send) {
        line.sendText = parser.value(u"send"_s);
        if (line.hex && !fileSend) {
            if (const HexText hex = bytesFromHexText(line.sendText); !hex.error.isEmpty())
                return u"--send with --hex: "_s + hex.error;
        }
        if (!splitHostPort(parser.value(u"to"_s), line.sendHost, line.sendPort))
            return u"--to needs HOST:PORT with a port from 1 to 65535, not '%1'"_s.arg(
                shownValue(parser.value(u"to"_s)));
    }
    return {};
}

} // namespace

CommandLine parseCommandLine(const QByteArrayList &rawArguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"KVX Sendrel listens on a TCP or UDP port, shows, logs and answers what\n"
        "arrives, and sends text to another host. Without options it opens its\n"
        "window; --headless and --send run without a screen."_s);
    const QList<QCommandLineOption> options = optionTable() + tlsOptionTable();
    parser.addOptions(options);

    if (const QString error = argumentError(rawArguments, options); !error.isEmpty())
        return usageError(error);
    QStringList arguments;
    for (const QByteArray &argument : rawArguments)
        arguments.append(QString::fromLocal8Bit(argument));
    if (!parser.parse(arguments))
        return usageError(shownValue(parser.errorText())); // it quotes an unknown option whole
    if (parser.isSet(u"help"_s))
        return finished(0, Usage + parser.helpText().section(u'\n', 1));
    if (parser.isSet(u"version"_s))
        return finished(0, Program + u' ' + QString::fromLatin1(SENDREL_VERSION) + u'\n');
    if (!parser.positionalArguments().isEmpty())
        return usageError(u"unexpected argument '%1'"_s.arg(
            shownValue(parser.positionalArguments().constFirst())));

    if (const QString error = valueGivenTwice(parser, options); !error.isEmpty())
        return usageError(error);

    CommandLine line;
    for (const auto read :
         {readMode, networkOptions, readListenOptions, readRespondOptions, readRelayOptions}) {
        if (const QString error = read(parser, line); !error.isEmpty())
            return usageError(error);
    }
    line.hex = parser.isSet(u"hex"_s);
    line.quiet = parser.isSet(u"quiet"_s);
    line.verbose = parser.isSet(u"verbose"_s);
    line.stats = parser.isSet(u"stats"_s);
    for (const auto read : {readSendOptions, readSendTarget, readTlsOptions, readControlOptions}) {
        if (const QString error = read(parser, line); !error.isEmpty())
            return usageError(error);
    }
    return line;
}

SettingsLocation settingsLocation(const CommandLine &line) {
    SettingsLocation location = SettingsLocation::forThisProgram();
    location.iniFile = line.settingsFile;
    location.readOnly = line.mode != CommandLine::Mode::Window;
    return location;
}

bool displayAvailable() {
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        if (!qEnvironmentVariableIsEmpty(name))
            return true;
    }
    return false;
}
