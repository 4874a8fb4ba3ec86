#include "cli/option_table.h"

#include "cli/command_line.h"
#include "model/pair_count.h"
#include "sender/file_send.h"
#include "sender/repeat_send.h"

using namespace Qt::Literals::StringLiterals;

namespace {

QList<QCommandLineOption> listeningOptions() {
    return {
        {{u"h"_s, u"help"_s}, u"Show this help and exit."_s},
        {u"version"_s, u"Show the version and exit."_s},
        {u"settings"_s, u"Settings file (only the window writes it)."_s, u"FILE"_s},
        {u"headless"_s, u"Listen without a window; data goes to stdout."_s},
        {u"port"_s, u"Listen on port N (0: any free port)."_s, u"N"_s},
        {u"tcp"_s, u"Use TCP."_s},
        {u"udp"_s, u"Use UDP."_s},
        {u"http"_s, u"Answer GET and PUT with 404, then reset."_s},
        {u"log"_s, u"Log received data to daily files in DIR."_s, u"DIR"_s},
        {u"respond"_s, u"Answer data equal to WATCH with RESPONSE (max %1)."_s.arg(PairCount),
         u"WATCH=RESPONSE"_s},
        {u"respond-contains"_s, u"A pair answering data that contains WATCH."_s,
         u"WATCH=RESPONSE"_s},
        {u"respond-starts"_s, u"A pair answering data that starts with WATCH."_s,
         u"WATCH=RESPONSE"_s},
        {u"respond-ends"_s, u"A pair answering data that ends with WATCH."_s, u"WATCH=RESPONSE"_s},
        {u"respond-regex"_s, u"A pair answering data that matches the pattern WATCH."_s,
         u"WATCH=RESPONSE"_s},
        {u"respond-hex"_s, u"A pair of hex bytes: data holding WATCH gets RESPONSE."_s,
         u"WATCH=RESPONSE"_s},
        {u"respond-delay"_s,
         u"The pair before it answers after MS (0-%1)."_s.arg(ResponseRule::MaxDelayMs), u"MS"_s},
        {u"respond-file"_s, u"More rules: MODE<TAB>WATCH<TAB>RESPONSE[<TAB>DELAY]."_s, u"FILE"_s},
        {u"hex"_s, u"Print received data as a hex dump; --send TEXT is hex pairs."_s},
        {u"quiet"_s, u"Print only errors on stderr."_s},
        {u"verbose"_s, u"Also print the trace line of each send."_s},
        {u"stats"_s, u"Print the traffic counters at exit and on SIGUSR1."_s},
    };
}

QList<QCommandLineOption> sendingOptions() {
    return {
        {u"send"_s, u"Send TEXT once as a client; replies to stdout."_s, u"TEXT"_s},
        {u"send-file"_s, u"Send the bytes of the file PATH instead of TEXT."_s, u"PATH"_s},
        {u"to"_s, u"Where --send sends: name, IPv4 or [IPv6], a port."_s, u"HOST:PORT"_s},
        {u"block"_s,
         u"--send-file --udp: one datagram per BYTES (1-%1, %2)."_s.arg(FileSend::MaxBlock)
             .arg(FileSend::DefaultBlock),
         u"BYTES"_s},
        {u"max-bytes"_s, u"--send-file: send at most N bytes (needed for a device)."_s, u"N"_s},
        {u"wait"_s,
         u"Wait up to MS for a send's bytes to leave (%1)."_s.arg(CommandLine::DefaultWaitMs),
         u"MS"_s},
        {u"repeat"_s, u"Send N times (0: until interrupted)."_s, u"N"_s},
        {u"interval"_s,
         u"Repeated sends go MS apart (%1-%2, %3)."_s.arg(RepeatSend::MinIntervalMs)
             .arg(RepeatSend::MaxIntervalMs)
             .arg(CommandLine::DefaultIntervalMs),
         u"MS"_s},
        {u"bind"_s, u"Listen on this local address only (IPv4 or IPv6)."_s, u"ADDRESS"_s},
        {u"join"_s, u"Join this multicast group (UDP; repeatable)."_s, u"GROUP"_s},
        {u"interface"_s, u"Multicast joins and sends use interface NAME."_s, u"NAME"_s},
        {u"broadcast"_s, u"Allow UDP sends to broadcast addresses."_s},
        {u"ttl"_s,
         u"Multicast sends reach N hops (0-%1, %2)."_s.arg(NetworkOptions::MaxMulticastTtl)
             .arg(NetworkOptions::DefaultMulticastTtl),
         u"N"_s},
        {u"udp-buffer"_s,
         u"The UDP listener's receive buffer in KiB (0-%1; 0: 4096, or what the system allows)."_s
             .arg(NetworkOptions::MaxReceiveBufferKiB),
         u"KIB"_s},
    };
}

QList<QCommandLineOption> packetAndRelayOptions() {
    return {
        {u"packet"_s, u"Send the saved packet NAME to its target or --to."_s, u"NAME"_s},
        {u"sequence"_s, u"Run the saved sequence NAME; exit 1 at a failed step."_s, u"NAME"_s},
        {u"packets"_s, u"Saved packets file (Sendrel_Packets.ini by the settings)."_s, u"FILE"_s},
        {u"list-packets"_s, u"List the saved packets and sequences."_s},
        {u"relay"_s, u"Pass each peer on to HOST:PORT and show both ways."_s, u"HOST:PORT"_s},
        {u"relay-delay"_s, u"Relay: delay each chunk MS, or MS-MS ([up:|down:])."_s, u"MS[-MS]"_s},
        {u"relay-drop"_s, u"Relay: drop PERCENT of UDP datagrams ([up:|down:])."_s, u"PERCENT"_s},
        {u"relay-rate"_s, u"Relay: at most BYTES_PER_S ([up:|down:])."_s, u"BYTES_PER_S"_s},
        {u"relay-cut"_s, u"Relay: cut a TCP pair after BYTES ([up:|down:])."_s, u"BYTES"_s},
        {u"faults"_s, u"Relay: named faults from FILE (Sendrel_Faults.ini by the settings)."_s,
         u"FILE"_s},
        {u"pcap"_s, u"Write each chunk to FILE as a pcapng capture."_s, u"FILE"_s},
        {u"script"_s, u"Run the JavaScript handlers in FILE on what the listener takes."_s,
         u"FILE"_s},
        {u"script-timeout"_s, u"Stop a call into the script past MS (50)."_s, u"MS"_s},
        {u"relay-tls"_s, u"Relay: end TLS from the peers, to the target, or both."_s,
         u"listen|target|both"_s},
        {u"control"_s, u"Serve the control API (proxies and their faults) there."_s,
         u"ADDRESS:PORT"_s},
        {u"control-any"_s, u"Let --control listen on an address other than loopback."_s},
        {u"control-token-file"_s, u"Control API clients send the token in FILE."_s, u"FILE"_s},
    };
}

} // namespace

QList<QCommandLineOption> optionTable() {
    return listeningOptions() + sendingOptions() + packetAndRelayOptions();
}
