#include "Options.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace fakecam {

namespace {

const char kUsage[] =
    "usage: fakecam [options]\n"
    "  --bind ADDR          interface address to answer on (default 198.18.0.1); IPv6 with its\n"
    "                       interface as zone (fe80::1%q0, 2001:db8::1%q0) answers on ff02::c\n"
    "  --devices N          simulated devices (default 3)\n"
    "  --http-port P        port of their device and media services (default 8080)\n"
    "  --max-delay-ms MS    random delay before each ProbeMatches (default 500)\n"
    "  --seed S             seed for identities and delays (default 1)\n"
    "  --extra-scopes K     pad every ProbeMatches with K scopes\n"
    "  --relates-to echo|sloppy|foreign   the Probe's MessageID as sent, echoed sloppily, or another one\n"
    "  --id-suffix TEXT     append TEXT to every endpoint id; \\n \\t \\r \\e \\a \\xNN are decoded\n"
    "  --id-padding N       append N more characters to every endpoint id\n"
    "  --name TEXT          every device's name (escapes as for --id-suffix), else \"Fake Camera N\"\n"
    "  --reply-to-header    put a wsa:ReplyTo header into each ProbeMatches (as gSOAP firmware does)\n"
    "  --xaddrs-order linklocal-first|ipv6-first   list an unreachable address before ours\n"
    "  --xaddrs-separator newline|tab   separate (and indent) the XAddrs entries so\n"
    "  --types device-only  answer only Probes for tds:Device (or without Types), as newer devices do\n"
    "  --hello              multicast a Hello for each device at start and a Bye on exit\n"
    "  --probe-matches-copy-to-group   multicast a copy of each ProbeMatches to the group too\n"
    "  --new-id-on-restart  new endpoint ids at every start, as some firmwares make after a reset\n"
    "  --no-http            answer Probes only\n"
    "  --no-discovery       serve HTTP only (e.g. on 127.0.0.1)\n"
    "  --auth none|wsse|digest|both   --user U   --password P\n"
    "  --clock-skew SECONDS --media 1|2|both   --profiles K\n"
    "  --delay-ms MS        delay of every SOAP answer\n"
    "  --fault hang|huge|padded|malformed|cut-short|services-fault|always-401\n"
    "  --media2-distinct    Media 2 answers other stream addresses than Media 1\n"
    "  --broken-media2      Media 2 advertised, and every request to it answered with a fault\n"
    "  --digest-empty-post answer401|reject400|drop   what a Digest device does with a bodyless POST\n"
    "                       (default drop: close the connection, as gSOAP firmware does)\n"
    "  --max-connections N  serve N connections at a time; close further ones unanswered\n"
    "  --tls                HTTPS with a self-signed certificate made at start-up\n"
    "  --certificate-out F  write that certificate to F (PEM)\n"
    "  --open-services      answer GetServices and GetCapabilities without credentials\n"
    "  --audio-profiles K   the last K profiles have no video (GetStreamUri answers a fault)\n"
    "  --audio-first        an audio-only profile first, whose GetStreamUri answers an address\n"
    "  --video-sources N    N inputs, profiles listed input 1 main, input 2 main, input 1 sub ...\n"
    "  --stream-host H|empty  the host put into stream addresses (127.0.0.1 and 0.0.0.0 as faulty\n"
    "                       firmware does, another host as a recorder's streams)\n"
    "  --rtsp-port P        answer RTSP DESCRIBE on port P (stream addresses name it)\n"
    "  --rtsp-auth digest|basic|both|none   --rtsp-password P   the RTSP account (both: Basic and Digest\n"
    "                       offered together)\n"
    "  --rtsp-max-connections N   RTSP connection slots (further ones closed unanswered)\n"
    "  --rtsp-unknown-status S    what DESCRIBE of an unknown path answers (404, or 454 as some do)\n"
    "  --main-encoding H265 each input's main stream is H.265\n"
    "  --main-size WxH      the size each main stream declares (default 1920x1080)\n"
    "  --rtsp-play MODE     silent: SETUP and PLAY answered, then no frame ever sent; 453: SETUP\n"
    "                       answered 453 (no stream slot free), as a camera at its limit does\n"
    "  --sub-encoding JPEG  each input's second profile is Motion JPEG\n"
    "  --wrong-path-fault   answer an unknown path with 400, a Digest challenge and ActionNotSupported\n"
    "  --nul-bytes-from N   GetProfiles answers NUL bytes from offset N on, under a right length\n"
    "  --log FILE           log every connection and request to FILE\n"
    "  --uri-query TEXT     appended to every stream Uri after '?'\n"
    "  --xaddr-host H[:P]   advertise media and PTZ services on this host instead of ours\n"
    "  --discovery-host H:P ProbeMatches and Hello name this device service host (NAT, or forged)\n"
    "  --wsse-fault failed-authentication   a wrong token gets 500 and wsse:FailedAuthentication\n"
    "  --unsupported OPS    these operations (comma-separated) answered ActionNotSupported\n"
    "  --firmware VERSION   what GetDeviceInformation says of the firmware (1.0)\n"
    "  --plain-port P       with --tls, serve the same in clear on port P and advertise every service\n"
    "                       there (http://), as cameras with both ports do\n"
    "  --media-plain-only   with --plain-port, answer only the device service over TLS\n"
    "  --digest-algorithm MD5|MD5-sess|SHA-256|SHA-256-sess   what the Digest challenge asks for\n"
    "  --digest-nc-check    refuse an nc that is 0, used before with its nonce, or more than 4 past its\n"
    "                       last (a client may have a few requests under way)\n"
    "  --nonce-lifetime N[s]  a nonce answers N requests (or lasts N seconds), then 401 stale=true\n"
    "  --digest-on-400      send the Digest challenge with HTTP 400 and a SOAP fault, as gSOAP does\n"
    "  --tls-name NAME      with --tls, a certificate for NAME signed by a CA made at start-up;\n"
    "                       --certificate-out then writes the CA's certificate\n"
    "  --no-snapshot        answer GetSnapshotUri with ActionNotSupported\n"
    "  --snapshot-basic-only   the picture asks for HTTP Basic only\n"
    "  --snapshot-on-other-host H[:P]|empty   name this host in the picture's address, or give none\n"
    "  --snapshot-content-type octet-stream|text-plain   the picture's Content-Type (else image/jpeg)\n"
    "  --snapshot-body huge|html|cut-short|padded   a 5 MiB picture, a login page with 200, half a\n"
    "                       picture (no end marker), or one with white space and zero bytes after it\n"
    "  --snapshot-body bomb a few hundred bytes of JPEG that declare 30000x30000\n";

// C-style escapes, so control characters can be given on a command line.
std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char e = text[++i];
        if (e == 'n')
            out += '\n';
        else if (e == 't')
            out += '\t';
        else if (e == 'r')
            out += '\r';
        else if (e == 'e')
            out += '\x1b';
        else if (e == 'a')
            out += '\a';
        else if (e == 'x' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += e;
        }
    }
    return out;
}

// Options without a value.
const struct {
    const char* name;
    bool Options::*field;
} kFlags[] = {
    {"--no-http", &Options::noHttp},
    {"--hello", &Options::hello},
    {"--probe-matches-copy-to-group", &Options::probeMatchesCopyToGroup},
    {"--new-id-on-restart", &Options::newIdOnRestart},
    {"--no-discovery", &Options::noDiscovery},
    {"--broken-media2", &Options::brokenMedia2},
    {"--reply-to-header", &Options::replyToHeader},
    {"--tls", &Options::tls},
    {"--media2-distinct", &Options::media2Distinct},
    {"--open-services", &Options::openServices},
    {"--media-plain-only", &Options::mediaPlainOnly},
    {"--digest-nc-check", &Options::digestNcCheck},
    {"--digest-on-400", &Options::digestOn400},
    {"--audio-first", &Options::audioFirst},
    {"--wrong-path-fault", &Options::wrongPathFault},
    {"--no-snapshot", &Options::noSnapshot},
    {"--snapshot-basic-only", &Options::snapshotBasicOnly},
};

// Options whose value is kept as it is written.
const struct {
    const char* name;
    std::string Options::*field;
} kTexts[] = {
    {"--bind", &Options::bind},
    {"--xaddrs-order", &Options::xaddrsOrder},
    {"--xaddrs-separator", &Options::xaddrsSeparator},
    {"--types", &Options::types},
    {"--auth", &Options::auth},
    {"--user", &Options::user},
    {"--password", &Options::password},
    {"--media", &Options::media},
    {"--fault", &Options::fault},
    {"--uri-query", &Options::uriQuery},
    {"--xaddr-host", &Options::xaddrHost},
    {"--discovery-host", &Options::discoveryHost},
    {"--wsse-fault", &Options::wsseFault},
    {"--unsupported", &Options::unsupported},
    {"--firmware", &Options::firmware},
    {"--relates-to", &Options::relatesTo},
    {"--certificate-out", &Options::certificateOut},
    {"--log", &Options::logFile},
    {"--tls-name", &Options::tlsName},
    {"--stream-host", &Options::streamHost},
    {"--rtsp-auth", &Options::rtspAuth},
    {"--rtsp-password", &Options::rtspPassword},
    {"--main-encoding", &Options::mainEncoding},
    {"--rtsp-play", &Options::rtspPlay},
    {"--sub-encoding", &Options::subEncoding},
    {"--snapshot-on-other-host", &Options::snapshotHost},
    {"--snapshot-content-type", &Options::snapshotContentType},
    {"--snapshot-body", &Options::snapshotBody},
};

// Options whose value is a whole number.
const struct {
    const char* name;
    void (*set)(Options&, long);
} kNumbers[] = {
    {"--devices", [](Options& o, long n) { o.devices = static_cast<int>(n); }},
    {"--http-port", [](Options& o, long n) { o.httpPort = static_cast<int>(n); }},
    {"--max-delay-ms", [](Options& o, long n) { o.maxDelayMs = static_cast<int>(n); }},
    {"--seed", [](Options& o, long n) { o.seed = static_cast<uint32_t>(n); }},
    {"--extra-scopes", [](Options& o, long n) { o.extraScopes = static_cast<int>(n); }},
    {"--clock-skew", [](Options& o, long n) { o.clockSkew = n; }},
    {"--profiles", [](Options& o, long n) { o.profiles = static_cast<int>(n); }},
    {"--delay-ms", [](Options& o, long n) { o.delayMs = static_cast<int>(n); }},
    {"--id-padding", [](Options& o, long n) { o.idPadding = static_cast<int>(n); }},
    {"--max-connections", [](Options& o, long n) { o.maxConnections = static_cast<int>(n); }},
    {"--audio-profiles", [](Options& o, long n) { o.audioProfiles = static_cast<int>(n); }},
    {"--plain-port", [](Options& o, long n) { o.plainPort = static_cast<int>(n); }},
    {"--video-sources", [](Options& o, long n) { o.videoSources = static_cast<int>(n); }},
    {"--rtsp-port", [](Options& o, long n) { o.rtspPort = static_cast<int>(n); }},
    {"--rtsp-max-connections", [](Options& o, long n) { o.rtspMaxConnections = static_cast<int>(n); }},
    {"--rtsp-unknown-status", [](Options& o, long n) { o.rtspUnknownStatus = static_cast<int>(n); }},
    {"--nul-bytes-from", [](Options& o, long n) { o.nulBytesFrom = static_cast<int>(n); }},
};

// One option with its value (argv[i + 1]); false with a message when it is wrong.
bool TakeValue(const std::string& arg, const char* value, Options& o) {
    for (const auto& t : kTexts) {
        if (arg == t.name) {
            o.*t.field = value;
            return true;
        }
    }
    for (const auto& n : kNumbers) {
        if (arg != n.name) continue;
        char* end = nullptr;
        const long number = std::strtol(value, &end, 10);
        if (end == value || *end != '\0') {
            std::fprintf(stderr, "fakecam: %s takes a number\n", arg.c_str());
            return false;
        }
        n.set(o, number);
        return true;
    }
    if (arg == "--main-size") {
        unsigned w = 0, h = 0;
        char end = 0;
        if (std::sscanf(value, "%ux%u%c", &w, &h, &end) != 2 || w == 0 || h == 0 || w > 65535 || h > 65535) {
            std::fprintf(stderr, "fakecam: --main-size takes WIDTHxHEIGHT\n");
            return false;
        }
        o.mainWidth = static_cast<int>(w);
        o.mainHeight = static_cast<int>(h);
        return true;
    }
    if (arg == "--id-suffix") {
        o.idSuffix = Unescape(value);
        return true;
    }
    if (arg == "--name") {
        o.name = Unescape(value);
        return true;
    }
    if (arg == "--digest-algorithm") {
        o.digestAlgorithm = value;
        for (const char* known : {"MD5", "MD5-sess", "SHA-256", "SHA-256-sess"}) {
            if (o.digestAlgorithm == known) return true;
        }
        std::fprintf(stderr, "fakecam: --digest-algorithm takes MD5, MD5-sess, SHA-256 or SHA-256-sess\n");
        return false;
    }
    if (arg == "--nonce-lifetime") {
        char* end = nullptr;
        const long n = std::strtol(value, &end, 10);
        if (end == value || n <= 0 || (*end != '\0' && std::strcmp(end, "s") != 0)) {
            std::fprintf(stderr, "fakecam: --nonce-lifetime takes a count of requests, or seconds as Ns\n");
            return false;
        }
        (*end == 's' ? o.nonceLifetimeSeconds : o.nonceLifetimeUses) = static_cast<int>(n);
        return true;
    }
    if (arg == "--digest-empty-post") {
        o.digestEmptyPost = value;
        if (o.digestEmptyPost == "answer401" || o.digestEmptyPost == "reject400" ||
            o.digestEmptyPost == "drop") {
            return true;
        }
        std::fprintf(stderr, "fakecam: --digest-empty-post takes answer401, reject400 or drop\n");
        return false;
    }
    std::fprintf(stderr, "fakecam: unknown option %s\n%s", arg.c_str(), kUsage);
    return false;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        const auto flag =
            std::find_if(std::begin(kFlags), std::end(kFlags), [&](const auto& f) { return arg == f.name; });
        if (flag != std::end(kFlags)) {
            o.*flag->field = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "fakecam: %s needs a value\n%s", arg.c_str(), kUsage);
            return false;
        }
        if (!TakeValue(arg, argv[++i], o)) return false;
    }
    return true;
}

}  // namespace fakecam
