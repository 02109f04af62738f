#pragma once

#include <cstdint>
#include <string>

namespace fakecam {

struct Options {
    std::string bind = "198.18.0.1";
    int devices = 3;
    int httpPort = 8080;
    int maxDelayMs = 500;
    uint32_t seed = 1;
    int extraScopes = 0;             // pads each ProbeMatches with this many extra scopes
    std::string relatesTo = "echo";  // echo | sloppy | foreign: what ProbeMatches name as the Probe answered
    bool replyToHeader = false;      // a wsa:ReplyTo header in each ProbeMatches, as gSOAP stacks send
    std::string idSuffix;            // appended to every endpoint id in ProbeMatches (hostile devices)
    std::string name;                // every device's name scope (else "Fake Camera N")
    int idPadding = 0;               // that many more characters appended to every endpoint id
    std::string xaddrsOrder;         // linklocal-first | ipv6-first: an unreachable address before ours
    std::string xaddrsSeparator;     // newline | tab: between (and around) the XAddrs entries
    std::string discoveryHost;       // host:port that ProbeMatches and Hello name instead of our own
    std::string types;               // device-only: answer only Probes for tds:Device (or with no Types)
    bool hello = false;              // a Hello for each device at start, a Bye on exit
    bool probeMatchesCopyToGroup = false;  // each ProbeMatches also multicast to the group
    bool newIdOnRestart = false;           // endpoint ids new at every start
    bool noHttp = false;
    bool noDiscovery = false;
    // SOAP side
    std::string auth = "none";  // none | wsse | digest | both
    std::string wsseFault;      // failed-authentication: a wrong token gets WS-Security's own fault
    std::string unsupported;    // operations (comma-separated) answered ActionNotSupported, as firmware does
    std::string firmware = "1.0";  // GetDeviceInformation's FirmwareVersion
    std::string user = "admin";
    std::string password = "40718";
    long clockSkew = 0;           // seconds added to our clock
    std::string media = "both";   // 1 | 2 | both
    bool media2Distinct = false;  // Media 2 stream addresses differ from Media 1's
    bool brokenMedia2 = false;    // Media 2 advertised, and every request to it answered with a fault
    int profiles = 2;
    int delayMs = 0;    // per SOAP request
    std::string fault;  // hang | huge | padded | malformed | cut-short | services-fault | always-401 | none
    std::string digestAlgorithm = "MD5";   // MD5 | MD5-sess | SHA-256 | SHA-256-sess
    bool digestNcCheck = false;            // refuse an nc that is not the next one for its nonce
    int nonceLifetimeUses = 0;             // a nonce is stale after this many requests (0: never)
    int nonceLifetimeSeconds = 0;          // or after this many seconds
    bool digestOn400 = false;              // the challenge comes with HTTP 400 and a SOAP fault (gSOAP)
    std::string tlsName;                   // with --tls: a certificate for this name, signed by a test CA
    std::string digestEmptyPost = "drop";  // answer401 | reject400 | drop: a bodyless POST to a Digest device
    int maxConnections = 0;      // connection slots; further connections are closed unanswered (0: no limit)
    bool tls = false;            // HTTPS with a self-signed certificate made at start-up
    std::string certificateOut;  // where to write that certificate (PEM)
    bool openServices = false;   // GetServices and GetCapabilities answered without credentials
    int audioProfiles = 0;       // the last K profiles have no video: GetStreamUri answers a fault
    bool audioFirst = false;     // an audio-only profile first, whose GetStreamUri answers an address
    int videoSources = 1;        // inputs; profiles interleave: input 1 main, input 2 main, input 1 sub ...
    std::string streamHost;      // the host put into stream addresses ("empty": none), when not ours
    int rtspPort = 0;            // an RTSP responder (DESCRIBE) on this port; stream addresses name it
    std::string rtspAuth = "digest";  // digest | basic | both (Basic and Digest offered) | none
    std::string rtspPassword;         // the RTSP account's password when it differs from the ONVIF one
    int rtspMaxConnections = 0;       // RTSP connection slots; further ones are closed unanswered
    std::string rtspPlay;             // silent: SETUP and PLAY answered, then nothing sent; 453: SETUP
                                      // answered 453, no stream slot free
    int mainWidth = 0;                // with mainHeight: the size each main stream declares (else 1920x1080)
    int mainHeight = 0;
    int rtspUnknownStatus = 404;  // what DESCRIBE of an unknown path answers (some servers: 454)
    std::string mainEncoding;     // H265: each input's main stream is H.265
    std::string subEncoding;      // JPEG: each input's second profile is Motion JPEG, as installers set it
    bool wrongPathFault = false;  // an unknown path: 400, a Digest challenge and ActionNotSupported
    int nulBytesFrom = 0;         // GetProfiles answers NUL bytes from this offset on
    std::string logFile;          // one line per connection and per request
    std::string uriQuery;         // appended to each stream Uri, e.g. "a=1&b=2"
    std::string xaddrHost;  // host[:port] put into service addresses instead of our own (an unreachable one)
    int plainPort = 0;      // with --tls: the same services in clear on this port, advertised there
    bool mediaPlainOnly = false;  // with --plain-port: over TLS only the device service answers
    // Still pictures (GetSnapshotUri and the web server's GET)
    bool noSnapshot = false;         // GetSnapshotUri answers ActionNotSupported
    bool snapshotBasicOnly = false;  // the picture asks for HTTP Basic only
    std::string snapshotHost;  // host[:port] put into the picture's address instead of ours ("empty": none)
    std::string snapshotContentType;  // octet-stream | text-plain: what the picture is said to be
    std::string snapshotBody;  // huge (5 MiB) | html (a login page, with 200) | cut-short | padded | bomb
};

// Parses argv; prints a message and returns false on a bad argument.
bool ParseOptions(int argc, char** argv, Options& out);

}  // namespace fakecam
