#include "cli/relay_arguments.h"

#include "cli/command_line.h"
#include "cli/script_arguments.h"
#include "runtime/shown_text.h"
#include "settings/fault_file.h"

#include <QCommandLineParser>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

namespace {

using FaultParse = QString (*)(const QString &, LinkFaults &);

// Each value sets both ways, or one with its prefix; one way given twice is an error.
QString readFault(const QCommandLineParser &parser, const QString &name, FaultParse parse,
                  RelayOptions &options) {
    bool upSet = false;
    bool downSet = false;
    for (const QString &value : parser.values(name)) {
        const bool up = value.startsWith(u"up:"_s);
        const bool down = value.startsWith(u"down:"_s);
        const QString text = up ? value.mid(3) : down ? value.mid(5) : value;
        if (((up || !down) && upSet) || ((down || !up) && downSet))
            return u"--%1 given more than once for one way"_s.arg(name);
        LinkFaults parsed = up || !down ? options.up : options.down;
        if (const QString error = parse(text, parsed); !error.isEmpty())
            return u"--%1: '%2': %3"_s.arg(name, shownValue(value), error);
        if (up || !down) {
            parse(text, options.up);
            upSet = true;
        }
        if (down || !up) {
            parse(text, options.down);
            downSet = true;
        }
    }
    return {};
}

// The window saves to a --faults file it may have to make; a run without a screen only reads
// one, which must be there.
QString readFaultsFile(const QCommandLineParser &parser, CommandLine &line) {
    const bool listening = line.mode == CommandLine::Mode::Headless;
    if (!listening && line.mode != CommandLine::Mode::Window)
        return u"--faults works only with --headless or the window"_s;
    if (parser.value(u"faults"_s).isEmpty())
        return u"--faults needs a file"_s;
    line.faultsFile = QFileInfo(parser.value(u"faults"_s)).absoluteFilePath();
    if (listening && !QFileInfo::exists(line.faultsFile))
        return u"--faults: '%1': no such file"_s.arg(shownValue(parser.value(u"faults"_s)));
    FaultFile file;
    if (QString problem; !file.load(line.faultsFile, &problem))
        return u"--faults: "_s + problem;
    return {};
}

} // namespace

QString readRelayOptions(const QCommandLineParser &parser, CommandLine &line) {
    const bool listening = line.mode == CommandLine::Mode::Headless;
    if (const QString error = readScriptOptions(parser, line); !error.isEmpty())
        return error;
    if (parser.isSet(u"faults"_s)) {
        if (const QString error = readFaultsFile(parser, line); !error.isEmpty())
            return error;
    }
    for (const QString &name : {u"relay"_s, u"relay-delay"_s, u"relay-drop"_s, u"relay-rate"_s,
                                u"relay-cut"_s, u"pcap"_s, u"relay-tls"_s}) {
        if (parser.isSet(name) && !listening)
            return u"--%1 works only with --headless"_s.arg(name);
    }
    if (parser.isSet(u"pcap"_s)) {
        if (parser.value(u"pcap"_s).isEmpty())
            return u"--pcap needs a file"_s;
        line.pcapFile = QFileInfo(parser.value(u"pcap"_s)).absoluteFilePath();
    }
    if (!parser.isSet(u"relay"_s)) {
        for (const QString &name :
             {u"relay-delay"_s, u"relay-drop"_s, u"relay-rate"_s, u"relay-cut"_s, u"relay-tls"_s}) {
            if (parser.isSet(name))
                return u"--%1 works only with --relay"_s.arg(name);
        }
        return {};
    }
    RelayOptions options;
    if (const QString error = parseRelayTarget(parser.value(u"relay"_s), options); !error.isEmpty())
        return u"--relay: '%1': %2"_s.arg(shownValue(parser.value(u"relay"_s)), error);
    const std::pair<QString, FaultParse> faults[] = {{u"relay-delay"_s, parseDelay},
                                                     {u"relay-drop"_s, parseDropPercent},
                                                     {u"relay-rate"_s, parseRate},
                                                     {u"relay-cut"_s, parseCut}};
    for (const auto &[name, parse] : faults) {
        if (const QString error = readFault(parser, name, parse, options); !error.isEmpty())
            return error;
    }
    // The listening side's TLS is the listener's own (--tls), read with the TLS options.
    if (parser.isSet(u"relay-tls"_s)) {
        const QString side = parser.value(u"relay-tls"_s);
        if (side != u"listen"_s && side != u"target"_s && side != u"both"_s)
            return u"--relay-tls: '%1': not listen, target or both"_s.arg(shownValue(side));
        if (parser.isSet(u"udp"_s))
            return u"--relay-tls works only with TCP, not --udp"_s;
        if (side == u"target"_s && parser.isSet(u"tls"_s))
            return u"--relay-tls target keeps the listening side plain, but --tls secures it"_s;
        options.targetTls = side != u"listen"_s;
    }
    line.relay = options;
    return {};
}
