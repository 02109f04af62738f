// The library's C functions: their arguments, the result document, the error text of the last failure.
#include "CApi.h"

#include <cstdio>
#include <cstring>

#include "RtspCheck.h"
#include "Soap.h"
#include "onvifc.h"

namespace onvifc {

std::string ResultDocument(const std::vector<StreamItem>& items, std::size_t limit, std::size_t* written,
                           const Inventory* inventory) {
    static const std::string kOpen = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Onvif_GetStreamUri>";
    static const std::string kClose = "</Onvif_GetStreamUri>";
    std::string doc = kOpen;
    if (inventory) {
        const auto field = [&](const char* name, const std::string& text) {
            doc += std::string("<") + name + ">" + XmlEscape(text) + "</" + name + ">";
        };
        doc += "<Inventory>";
        field("Manufacturer", inventory->manufacturer);
        field("Model", inventory->model);
        field("Firmware", inventory->firmware);
        field("Serial", inventory->serial);
        field("HardwareId", inventory->hardwareId);
        field("Mac", inventory->mac);
        field("Ntp", inventory->ntp);
        field("ClockOffsetSeconds",
              inventory->clockKnown ? std::to_string(inventory->clockOffsetSeconds) : "");
        field("Open", inventory->open ? "true" : "");
        doc += "</Inventory>";
    }
    std::size_t count = 0;
    for (const auto& item : items) {
        std::string entry = "<item><Name>" + XmlEscape(item.name) + "</Name><Token>" + XmlEscape(item.token) +
                            "</Token><Uri>" + XmlEscape(item.uri) + "</Uri><UriPTZ>" +
                            XmlEscape(item.uriPtz) + "</UriPTZ>";
        // What the stream carries, after the elements every reader knows.
        if (!item.source.empty()) entry += "<Source>" + XmlEscape(item.source) + "</Source>";
        if (!item.encoding.empty()) entry += "<Encoding>" + XmlEscape(item.encoding) + "</Encoding>";
        if (item.width > 0 && item.height > 0) {
            entry += "<Width>" + std::to_string(item.width) + "</Width><Height>" +
                     std::to_string(item.height) + "</Height>";
        }
        entry += "</item>";
        if (doc.size() + entry.size() + kClose.size() > limit) break;
        doc += entry;
        ++count;
    }
    if (written) *written = count;
    return doc + kClose;
}

}  // namespace onvifc

namespace {
// The last failure on this thread, in words, for Onvif_ErrorText.
thread_local int t_lastCode = 0;
thread_local std::string t_lastText;

int Remember(int code, std::string text) {
    t_lastCode = code;
    t_lastText = std::move(text);
    return code;
}
}  // namespace

namespace {

int StreamUris(char* buf, int size, const char* uri, const char* user, const char* password, bool inventory) {
    if (!buf || size <= 0 || !uri || !user || !password) return Remember(ONVIF_ERR_INVALID_ARGUMENT, {});
    try {
        const onvifc::CallResult result = onvifc::GetStreamUris(uri, user, password, inventory);
        if (result.code < 0) return Remember(result.code, result.detail);
        // As many whole items as fit, in profile order; a recorder's hundreds of channels need not fit a
        // small buffer for its first streams to be read.
        std::size_t fitted = 0;
        const std::string doc = onvifc::ResultDocument(result.items, static_cast<std::size_t>(size) - 1,
                                                       &fitted, inventory ? &result.inventory : nullptr);
        if (doc.size() + 1 > static_cast<std::size_t>(size) || (fitted == 0 && !result.items.empty())) {
            return Remember(ONVIF_ERR_RESULT_TOO_LARGE, {});
        }
        std::memcpy(buf, doc.c_str(), doc.size() + 1);
        return Remember(static_cast<int>(fitted), {});
    } catch (...) {
        // Nothing may cross the C boundary; running out of memory is the only thing that throws here.
        return Remember(ONVIF_ERR_UNEXPECTED_REPLY, "out of memory");
    }
}

}  // namespace

extern "C" int Onvif_GetStreamUri(char* buf, int size, const char* uri, const char* user,
                                  const char* password) {
    return StreamUris(buf, size, uri, user, password, false);
}

extern "C" int Onvif_GetInventory(char* buf, int size, const char* uri, const char* user,
                                  const char* password) {
    return StreamUris(buf, size, uri, user, password, true);
}

extern "C" int Onvif_GetSnapshot(const char* uri, const char* user, const char* password,
                                 unsigned char* buffer, int size) {
    if (!buffer || size <= 0 || !uri || !user || !password) return Remember(ONVIF_ERR_INVALID_ARGUMENT, {});
    try {
        const onvifc::SnapshotResult result = onvifc::GetSnapshot(uri, user, password);
        if (result.code < 0) return Remember(result.code, result.detail);
        if (result.jpeg.size() > static_cast<std::size_t>(size)) {
            return Remember(ONVIF_ERR_RESULT_TOO_LARGE, "the picture (" + std::to_string(result.jpeg.size()) +
                                                            " bytes) is larger than the buffer (" +
                                                            std::to_string(size) + " bytes)");
        }
        std::memcpy(buffer, result.jpeg.data(), result.jpeg.size());
        return Remember(static_cast<int>(result.jpeg.size()), {});
    } catch (...) {
        return Remember(ONVIF_ERR_UNEXPECTED_REPLY, "out of memory");
    }
}

extern "C" int Onvif_CheckStreams(const char* const* uris, int count, const char* deviceUri, const char* user,
                                  const char* password, OnvifStreamCheck* results) {
    if (!uris || count < 0 || count > 100000 || !deviceUri || !user || !password || (count > 0 && !results))
        return ONVIF_ERR_INVALID_ARGUMENT;
    for (int i = 0; i < count; ++i) {
        if (!uris[i]) return ONVIF_ERR_INVALID_ARGUMENT;
    }
    try {
        const std::vector<std::string> list(uris, uris + count);
        const auto checks = onvifc::CheckStreams(list, deviceUri, user, password);
        int playing = 0;
        for (int i = 0; i < count; ++i) {
            const onvifc::StreamCheck& c = checks[static_cast<std::size_t>(i)];
            OnvifStreamCheck& out = results[i];
            std::memset(&out, 0, sizeof out);
            out.state = static_cast<int>(c.state);
            std::snprintf(out.encoding, sizeof out.encoding, "%s", c.encoding.c_str());
            out.width = c.width;
            out.height = c.height;
            std::snprintf(out.detail, sizeof out.detail, "%s", c.detail.c_str());
            if (c.state == onvifc::StreamState::Plays) ++playing;
        }
        return playing;
    } catch (...) {
        return ONVIF_ERR_UNEXPECTED_REPLY;  // out of memory
    }
}

extern "C" const char* Onvif_StreamStateName(int state) {
    if (state < 0 || state > ONVIF_STREAM_NOT_TRIED) return "not-checked";
    return onvifc::StreamStateName(static_cast<onvifc::StreamState>(state));
}

extern "C" const char* Onvif_ErrorText(int code) {
    if (code < 0 && code == t_lastCode && !t_lastText.empty()) return t_lastText.c_str();
    switch (code) {
        case ONVIF_ERR_INVALID_ARGUMENT:
            return "invalid argument";
        case ONVIF_ERR_UNSUPPORTED_ADDRESS:
            return "unsupported address: only http and https device addresses are used";
        case ONVIF_ERR_CANNOT_CONNECT:
            return "cannot connect to the device";
        case ONVIF_ERR_TIMED_OUT:
            return "the device did not answer in time";
        case ONVIF_ERR_NOT_AUTHORIZED:
            return "credentials refused by the device";
        case ONVIF_ERR_UNEXPECTED_REPLY:
            return "the reply is not SOAP: not an ONVIF device, or an unexpected reply";
        case ONVIF_ERR_NO_PROFILES:
            return "the device has no media profiles";
        case ONVIF_ERR_RESULT_TOO_LARGE:
            return "the result is too large for the buffer";
        case ONVIF_ERR_CERTIFICATE_REFUSED:
            return "the device's certificate was refused";
        case ONVIF_ERR_DEVICE_FAULT:
            return "the device answered with a fault";
        case ONVIF_ERR_REPLY_CUT_SHORT:
            return "the device's reply was cut short";
        case ONVIF_ERR_SERVICE_ELSEWHERE:
            return "the device pointed to a service on another host, which was not used";
        case ONVIF_ERR_SERVICE_WITHOUT_TLS:
            return "the device offered its media service only without TLS, which was not used";
        case ONVIF_ERR_NO_SNAPSHOT:
            return "the device does not serve snapshots";
        default:
            return code >= 0 ? "success" : "unknown error";
    }
}
