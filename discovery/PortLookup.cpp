#include "PortLookup.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace quorvi {

std::string PortFinding::Service() const {
    return std::string(https ? "https://" : "http://") + FormatAddress(address) + ":" + std::to_string(port) +
           "/onvif/device_service";
}

const std::vector<int>& DefaultOnvifPorts() {
    static const std::vector<int> ports{80, 8000, 8080, 8899, 2020, 5000};
    return ports;
}

std::optional<std::vector<int>> ParsePorts(const std::string& text, std::string& error) {
    if (text == "default") return DefaultOnvifPorts();
    std::vector<int> ports;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, end - at);
        long port = 0;
        const bool digits =
            !item.empty() && item.size() <= 5 && item.find_first_not_of("0123456789") == std::string::npos;
        if (digits) port = std::stol(item);
        if (!digits || port < 1 || port > 65535) {
            error = "not a port: " + item;
            return std::nullopt;
        }
        if (std::find(ports.begin(), ports.end(), static_cast<int>(port)) == ports.end())
            ports.push_back(static_cast<int>(port));
        at = end + 1;
    }
    return ports;
}

std::optional<DeviceAddress> ParseDeviceAddress(const std::string& text, std::string& error) {
    std::string rest = text;
    rest.erase(0, rest.find_first_not_of(" \t"));
    rest.erase(rest.find_last_not_of(" \t") + 1);
    DeviceAddress device;
    std::optional<int> schemePort;
    for (const auto& [scheme, port] : {std::pair<const char*, int>{"http://", 80}, {"https://", 443}}) {
        if (rest.size() > std::strlen(scheme) &&
            strncasecmp(rest.c_str(), scheme, std::strlen(scheme)) == 0) {
            rest = rest.substr(std::strlen(scheme));
            rest = rest.substr(0, rest.find_first_of("/?#"));
            if (rest.find('@') != std::string::npos) {
                error = "give the address without a user: nothing but one unauthenticated request is sent";
                return std::nullopt;
            }
            schemePort = port;
        }
    }
    const std::size_t colon = rest.find(':');
    device.host = rest.substr(0, colon);
    const bool nameChars =
        !device.host.empty() && device.host.size() <= 253 &&
        device.host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
            std::string::npos;
    if (!nameChars) {
        error = "not an address (host, host:port or http://host:port/...): " + text;
        return std::nullopt;
    }
    if (colon != std::string::npos) {
        auto port = ParsePorts(rest.substr(colon + 1), error);
        if (!port || port->size() != 1 || rest.substr(colon + 1) == "default") {
            error = "not a port: " + rest.substr(colon + 1);
            return std::nullopt;
        }
        device.ports = *port;
    } else if (schemePort) {
        device.ports = {*schemePort};
    } else {
        device.ports = DefaultOnvifPorts();
    }
    if (schemePort == 443 && device.ports[0] != 443 && device.ports[0] != 8443) {
        error = "https is looked for on ports 443 and 8443 only";
        return std::nullopt;
    }
    return device;
}

std::optional<uint32_t> ResolveDeviceHost(const std::string& host, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        error = "cannot find the address of " + host + ": " + gai_strerror(rc);
        return std::nullopt;
    }
    const uint32_t address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    // Refused as a probe target would be.
    const auto checked = ParseTargets({FormatAddress(address)}, error);
    if (!checked || checked->size() != 1) return std::nullopt;
    return address;
}

std::string NothingAnsweredText(const std::vector<int>& ports) {
    std::string list;
    for (const int p : ports) list += (list.empty() ? "" : ", ") + std::to_string(p);
    return std::string("no answer to a Probe on 3702, nor ONVIF on port") + (ports.size() == 1 ? " " : "s ") +
           list;
}

namespace {

constexpr std::size_t kMaxAnswer = 64 * 1024;  // a time answer is under 2 KiB

constexpr const char* kRequest =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><s:Envelope "
    "xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">"
    "<s:Body><tds:GetSystemDateAndTime xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\"/></s:Body>"
    "</s:Envelope>";

struct Lookup {
    PortFinding where;
    CURL* handle = nullptr;
    curl_slist* headers = nullptr;
    std::string body;
    ~Lookup() {
        curl_slist_free_all(headers);
        if (handle) curl_easy_cleanup(handle);
    }
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<std::string*>(user);
    const std::size_t n = size * count;
    if (body->size() + n > kMaxAnswer) return 0;  // more than an answer: not one
    body->append(data, n);
    return n;
}

std::unique_ptr<Lookup> Start(const PortFinding& where) {
    auto l = std::make_unique<Lookup>();
    l->where = where;
    l->handle = curl_easy_init();
    if (!l->handle) return nullptr;
    const std::string url = where.Service();
    curl_easy_setopt(l->handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(l->handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(l->handle, CURLOPT_PROXY, "");
    curl_easy_setopt(l->handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(l->handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(l->handle, CURLOPT_HTTPAUTH, CURLAUTH_NONE);
    curl_easy_setopt(l->handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(kPortConnectTime.count()));
    curl_easy_setopt(l->handle, CURLOPT_TIMEOUT_MS, static_cast<long>(kPortAnswerTime.count()));
    curl_easy_setopt(l->handle, CURLOPT_MAXFILESIZE, static_cast<long>(kMaxAnswer));
    // Cameras make their own certificates; nothing secret is sent.
    curl_easy_setopt(l->handle, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(l->handle, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(l->handle, CURLOPT_POSTFIELDS, kRequest);
    l->headers = curl_slist_append(nullptr,
                                   "Content-Type: application/soap+xml; charset=utf-8; "
                                   "action=\"http://www.onvif.org/ver10/device/wsdl/GetSystemDateAndTime\"");
    l->headers = curl_slist_append(l->headers, "Expect:");
    curl_easy_setopt(l->handle, CURLOPT_HTTPHEADER, l->headers);
    curl_easy_setopt(l->handle, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(l->handle, CURLOPT_WRITEDATA, &l->body);
    return l;
}

}  // namespace

bool LooksLikeOnvifTimeAnswer(const std::string& body) {
    const std::string text = body.substr(0, std::min(body.size(), kMaxAnswer));
    const bool envelope = text.find("http://www.w3.org/2003/05/soap-envelope") != std::string::npos ||
                          text.find("http://schemas.xmlsoap.org/soap/envelope/") != std::string::npos;
    if (!envelope) return false;
    if (text.find(":GetSystemDateAndTimeResponse") != std::string::npos ||
        text.find("<GetSystemDateAndTimeResponse") != std::string::npos)
        return true;
    // Some devices want credentials even for their clock: their refusal still says ONVIF answered.
    return text.find("Fault") != std::string::npos && text.find("NotAuthorized") != std::string::npos;
}

std::vector<PortFinding> LookForOnvifOnPorts(const TargetList& targets, const std::vector<int>& ports,
                                             int rate, const std::atomic<bool>* running) {
    std::vector<PortFinding> found;
    if (targets.empty() || ports.empty()) return found;
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!initialised) return found;
    CURLM* multi = curl_multi_init();
    if (!multi) return found;
    curl_multi_setopt(multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, static_cast<long>(kMaxPortLookupsAtOnce));
    using Clock = std::chrono::steady_clock;
    const auto interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / std::max(rate, 1);
    auto nextSend = Clock::now();
    std::size_t next = 0;  // target-major: every port of one address, then the next address
    const std::size_t total = targets.size() * ports.size();
    std::vector<std::unique_ptr<Lookup>> active;
    const auto stopped = [&] { return running && !running->load(); };
    while (!stopped() && (next < total || !active.empty())) {
        while (next < total && active.size() < static_cast<std::size_t>(kMaxPortLookupsAtOnce) &&
               Clock::now() >= nextSend) {
            const uint32_t address = targets[next / ports.size()];
            const int port = ports[next % ports.size()];
            ++next;
            auto l = Start({address, port, port == 443 || port == 8443});
            if (!l || curl_multi_add_handle(multi, l->handle) != CURLM_OK) continue;
            active.push_back(std::move(l));
            nextSend += interval;
            if (nextSend < Clock::now() - interval) nextSend = Clock::now();  // no catching up in bursts
        }
        int still = 0;
        curl_multi_perform(multi, &still);
        int left = 0;
        while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
            if (m->msg != CURLMSG_DONE) continue;
            const auto it = std::find_if(active.begin(), active.end(),
                                         [&](const auto& l) { return l->handle == m->easy_handle; });
            if (it == active.end()) continue;
            if (m->data.result == CURLE_OK && LooksLikeOnvifTimeAnswer((*it)->body))
                found.push_back((*it)->where);
            curl_multi_remove_handle(multi, (*it)->handle);
            active.erase(it);
        }
        const auto wait =
            next < total && active.size() < static_cast<std::size_t>(kMaxPortLookupsAtOnce)
                ? std::max<long>(
                      0,
                      std::chrono::duration_cast<std::chrono::milliseconds>(nextSend - Clock::now()).count())
                : 100L;
        if (still > 0) {
            curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::min(wait, 100L)), nullptr);
        } else if (wait > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(wait, 100L)));
        }
    }
    for (auto& l : active) curl_multi_remove_handle(multi, l->handle);
    active.clear();
    curl_multi_cleanup(multi);
    return found;
}

}  // namespace quorvi
