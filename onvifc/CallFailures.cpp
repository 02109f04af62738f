// Why a call failed: the transport's or the device's failure read into a result code and its words.
#include "CallSession.h"

namespace onvifc {

namespace detail {

std::string Shortened(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    if (text.size() > 160) text = text.substr(0, 157) + "...";
    return text;
}

bool LooksLikeXml(const std::string& body) {
    const auto first = body.find_first_not_of(" \t\r\n");
    return first != std::string::npos && body[first] == '<';
}

int Call::Fail(int code, std::string detail) {
    m_detail = std::move(detail);
    return code;
}

int Call::TransportFailure(const HttpResult& r, const std::string& url, std::size_t bodyLimit) {
    const std::string where = " (" + HostPort(url) + ")";
    switch (r.transport) {
        case Transport::HeadersTooLarge:
            return Fail(ONVIF_ERR_UNEXPECTED_REPLY, "the device's reply headers are too large (over " +
                                                        std::to_string(kMaxHeaderBytes / 1024) + " KiB)" +
                                                        where);
        case Transport::TimedOut:
            if (!r.connected) return Fail(ONVIF_ERR_TIMED_OUT, "no connection to the device in time" + where);
            return Fail(ONVIF_ERR_TIMED_OUT,
                        "the device did not answer in time" + where +
                            (r.budgetSpent ? ": its answers are too slow for the call's " +
                                                 std::to_string(kCallSeconds) + " s"
                                           : std::string()));
        case Transport::Unsupported:
            return Fail(ONVIF_ERR_UNSUPPORTED_ADDRESS, "unsupported address: " + Shortened(url));
        case Transport::HostNotFound:
            return Fail(ONVIF_ERR_CANNOT_CONNECT,
                        "cannot connect to the device: host name not found" + where);
        case Transport::Refused:
            return Fail(ONVIF_ERR_CANNOT_CONNECT, "cannot connect to the device: connection refused" + where);
        case Transport::NoRoute:
            return Fail(ONVIF_ERR_CANNOT_CONNECT, "cannot connect to the device: no route to it" + where);
        case Transport::NoConnection:
            return Fail(ONVIF_ERR_CANNOT_CONNECT, "cannot connect to the device" + where);
        case Transport::ClosedUnanswered:
            return Fail(ONVIF_ERR_CANNOT_CONNECT,
                        "the device closed the connection without an answer" + where);
        case Transport::CertificateRefused:
            return Fail(ONVIF_ERR_CERTIFICATE_REFUSED,
                        "the device's certificate was refused" + where + ": " + Shortened(r.detail));
        case Transport::TlsFailed:
            return Fail(ONVIF_ERR_CANNOT_CONNECT, "TLS handshake with the device failed" + where);
        case Transport::CutShort:
            return Fail(ONVIF_ERR_REPLY_CUT_SHORT, "the device's reply was cut short" + where);
        case Transport::BodyTooLarge:
            return Fail(ONVIF_ERR_UNEXPECTED_REPLY, "the device's reply is larger than " +
                                                        std::to_string(bodyLimit >> 20) + " MiB" + where);
        case Transport::NotHttp:
            return Fail(ONVIF_ERR_UNEXPECTED_REPLY, "the reply is not HTTP" + where);
        case Transport::Ok:
        case Transport::Failed:
            break;
    }
    return Fail(ONVIF_ERR_CANNOT_CONNECT, "cannot connect to the device" + where +
                                              (r.detail.empty() ? "" : ": " + Shortened(r.detail)));
}

int Call::ReplyFailure(const Answer& a, const char* operation) {
    if (a.refused() && !a.http.digestChallenge && !a.http.unanswerable.empty()) {
        return Fail(ONVIF_ERR_NOT_AUTHORIZED, "the device asks for HTTP Digest with " + a.http.unanswerable +
                                                  ", which this client cannot answer");
    }
    if (a.refused() && a.http.basicOnly) {
        return Fail(ONVIF_ERR_NOT_AUTHORIZED,
                    "the device asks for HTTP Basic only, which would send the password in clear: "
                    "it was not sent");
    }
    if (a.refused()) {
        if (!UserWithoutPassword().empty()) {
            return Fail(ONVIF_ERR_NOT_AUTHORIZED,
                        "the device wants credentials, and no password was given for " +
                            Shortened(UserWithoutPassword()) + " (none was sent)");
        }
        // Cameras that ship with ONVIF off, or with an ONVIF user list apart from the web one, refuse
        // every login until the installer sees to it in the camera's web page.
        return Fail(ONVIF_ERR_NOT_AUTHORIZED,
                    Credentials().first.empty()
                        ? "credentials refused by the device: it wants a user name"
                        : "credentials refused by the device (some cameras need ONVIF turned on, or an "
                          "ONVIF user of its own, in their web page)");
    }
    if (a.soap.isFault) {
        return Fail(ONVIF_ERR_DEVICE_FAULT, std::string("the device answered ") + operation +
                                                " with a fault: " + Shortened(a.soap.faultText));
    }
    if (!a.soap.wellFormed && LooksLikeXml(a.http.body)) {
        return Fail(ONVIF_ERR_UNEXPECTED_REPLY, std::string("the reply to ") + operation +
                                                    " is not well-formed XML (HTTP " +
                                                    std::to_string(a.http.status) + ")");
    }
    if (!a.soap.isSoap) {
        return Fail(ONVIF_ERR_UNEXPECTED_REPLY, std::string("the reply to ") + operation +
                                                    " is not SOAP (HTTP " + std::to_string(a.http.status) +
                                                    ")");
    }
    return Fail(ONVIF_ERR_UNEXPECTED_REPLY, std::string("unexpected reply to ") + operation);
}

}  // namespace detail

}  // namespace onvifc
