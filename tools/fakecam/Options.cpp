#include "Options.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fakecam {

namespace {

const char kUsage[] =
    "usage: fakecam [options]\n"
    "  --bind ADDR          interface address to answer on (default 198.18.0.1)\n"
    "  --devices N          simulated devices (default 3)\n"
    "  --http-port P        port of their device and media services (default 8080)\n"
    "  --max-delay-ms MS    random delay before each ProbeMatches (default 500)\n"
    "  --seed S             seed for identities and delays (default 1)\n"
    "  --extra-scopes K     pad every ProbeMatches with K scopes\n"
    "  --relates-to echo|sloppy|foreign   the Probe's MessageID as sent, echoed sloppily, or another one\n"
    "  --id-suffix TEXT     append TEXT to every endpoint id; \\n \\t \\r \\e \\a \\xNN are decoded\n"
    "  --id-padding N       append N more characters to every endpoint id\n"
    "  --reply-to-header    put a wsa:ReplyTo header into each ProbeMatches (as gSOAP firmware does)\n"
    "  --no-http            answer Probes only\n"
    "  --no-discovery       serve HTTP only (e.g. on 127.0.0.1)\n"
    "  --auth none|wsse|digest|both   --user U   --password P\n"
    "  --clock-skew SECONDS --media 1|2|both   --profiles K\n"
    "  --delay-ms MS        delay of every SOAP answer\n"
    "  --fault hang|huge|padded|malformed|cut-short|services-fault|always-401\n"
    "  --media2-distinct    Media 2 answers other stream addresses than Media 1\n"
    "  --digest-empty-post answer401|reject400|drop   what a Digest device does with a bodyless POST\n"
    "                       (default drop: close the connection, as gSOAP firmware does)\n"
    "  --max-connections N  serve N connections at a time; close further ones unanswered\n"
    "  --tls                HTTPS with a self-signed certificate made at start-up\n"
    "  --certificate-out F  write that certificate to F (PEM)\n"
    "  --open-services      answer GetServices and GetCapabilities without credentials\n"
    "  --audio-profiles K   the last K profiles have no video (GetStreamUri answers a fault)\n"
    "  --log FILE           log every connection and request to FILE\n"
    "  --uri-query TEXT     appended to every stream Uri after '?'\n"
    "  --xaddr-host H[:P]   advertise media and PTZ services on this host instead of ours\n";

bool ToLong(const char* text, long& out) {
    char* end = nullptr;
    out = std::strtol(text, &end, 10);
    return end != text && *end == '\0';
}

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

}  // namespace

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (arg == "--no-http") {
            o.noHttp = true;
            continue;
        }
        if (arg == "--reply-to-header") {
            o.replyToHeader = true;
            continue;
        }
        if (arg == "--tls") {
            o.tls = true;
            continue;
        }
        if (arg == "--media2-distinct") {
            o.media2Distinct = true;
            continue;
        }
        if (arg == "--open-services") {
            o.openServices = true;
            continue;
        }
        if (arg == "--no-discovery") {
            o.noDiscovery = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "fakecam: %s needs a value\n%s", arg.c_str(), kUsage);
            return false;
        }
        const char* value = argv[++i];
        long number = 0;
        const bool numeric = ToLong(value, number);
        auto needNumber = [&](long& target) {
            if (!numeric) std::fprintf(stderr, "fakecam: %s takes a number\n", arg.c_str());
            target = number;
            return numeric;
        };
        long n = 0;
        if (arg == "--bind")
            o.bind = value;
        else if (arg == "--devices") {
            if (!needNumber(n)) return false;
            o.devices = static_cast<int>(n);
        } else if (arg == "--http-port") {
            if (!needNumber(n)) return false;
            o.httpPort = static_cast<int>(n);
        } else if (arg == "--max-delay-ms") {
            if (!needNumber(n)) return false;
            o.maxDelayMs = static_cast<int>(n);
        } else if (arg == "--seed") {
            if (!needNumber(n)) return false;
            o.seed = static_cast<uint32_t>(n);
        } else if (arg == "--extra-scopes") {
            if (!needNumber(n)) return false;
            o.extraScopes = static_cast<int>(n);
        } else if (arg == "--auth")
            o.auth = value;
        else if (arg == "--user")
            o.user = value;
        else if (arg == "--password")
            o.password = value;
        else if (arg == "--clock-skew") {
            if (!needNumber(o.clockSkew)) return false;
        } else if (arg == "--media")
            o.media = value;
        else if (arg == "--profiles") {
            if (!needNumber(n)) return false;
            o.profiles = static_cast<int>(n);
        } else if (arg == "--delay-ms") {
            if (!needNumber(n)) return false;
            o.delayMs = static_cast<int>(n);
        } else if (arg == "--fault")
            o.fault = value;
        else if (arg == "--uri-query")
            o.uriQuery = value;
        else if (arg == "--xaddr-host")
            o.xaddrHost = value;
        else if (arg == "--relates-to")
            o.relatesTo = value;
        else if (arg == "--id-suffix")
            o.idSuffix = Unescape(value);
        else if (arg == "--id-padding") {
            if (!needNumber(n)) return false;
            o.idPadding = static_cast<int>(n);
        } else if (arg == "--digest-empty-post") {
            o.digestEmptyPost = value;
            if (o.digestEmptyPost != "answer401" && o.digestEmptyPost != "reject400" &&
                o.digestEmptyPost != "drop") {
                std::fprintf(stderr, "fakecam: --digest-empty-post takes answer401, reject400 or drop\n");
                return false;
            }
        } else if (arg == "--max-connections") {
            if (!needNumber(n)) return false;
            o.maxConnections = static_cast<int>(n);
        } else if (arg == "--certificate-out")
            o.certificateOut = value;
        else if (arg == "--audio-profiles") {
            if (!needNumber(n)) return false;
            o.audioProfiles = static_cast<int>(n);
        } else if (arg == "--log")
            o.logFile = value;
        else {
            std::fprintf(stderr, "fakecam: unknown option %s\n%s", arg.c_str(), kUsage);
            return false;
        }
    }
    return true;
}

}  // namespace fakecam
