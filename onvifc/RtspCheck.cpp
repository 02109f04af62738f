#include "RtspCheck.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "CurlReply.h"
#include "DigestAuth.h"
#include "Sdp.h"
#include "Url.h"

namespace onvifc {

namespace {

using Clock = std::chrono::steady_clock;

std::string Printable(std::string text, std::size_t limit = 120) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    if (text.size() > limit) text = text.substr(0, limit - 3) + "...";
    return text;
}

// One stream's DESCRIBE, and its Digest answer when it is challenged.
struct Probe {
    std::size_t index = 0;
    std::string target;  // the address without any user part, where to connect
    std::string
        requestUri;  // the same as the request line carries it: an IPv6 zone is ours, not the server's
    bool mayAuthenticate = false;
    bool otherHost = false;  // not the host of the device address
    std::string host;
    CURL* handle = nullptr;
    curl_slist* headers = nullptr;
    Clock::time_point deadline;
    int round = 0;
    long status = 0;
    CurlReply reply{"RTSP/", kMaxSdpBytes};
    DigestSession digest;
    char error[CURL_ERROR_SIZE] = {};
    StreamCheck result;

    ~Probe() {
        curl_slist_free_all(headers);
        if (handle) curl_easy_cleanup(handle);
    }

    bool Send(CURLM* multi, const std::string& authorization) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() <= 0) return false;
        if (!handle) {
            handle = curl_easy_init();
            if (!handle) return false;
            curl_easy_setopt(handle, CURLOPT_URL, target.c_str());
            curl_easy_setopt(handle, CURLOPT_RTSP_STREAM_URI, requestUri.c_str());
            curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "rtsp");
            curl_easy_setopt(handle, CURLOPT_PROXY, "");
            curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
            reply.Attach(handle);
            curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
            curl_easy_setopt(handle, CURLOPT_PRIVATE, this);
        }
        curl_easy_setopt(handle, CURLOPT_RTSP_REQUEST, static_cast<long>(CURL_RTSPREQ_DESCRIBE));
        curl_slist_free_all(headers);
        headers = curl_slist_append(nullptr, "Accept: application/sdp");
        if (!authorization.empty())
            headers = curl_slist_append(headers, ("Authorization: " + authorization).c_str());
        curl_easy_setopt(handle, CURLOPT_RTSPHEADER, headers);
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(std::min(std::chrono::milliseconds(3000), remaining).count()));
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(remaining.count()));
        reply.Reset();
        ++round;
        ++result.requests;
        return curl_multi_add_handle(multi, handle) == CURLM_OK;
    }

    void Finish(StreamState state, std::string detail = {}) {
        result.state = state;
        result.detail = Printable(std::move(detail), 240);
    }

    void Plays() {
        const SdpVideo video = ReadSdpVideo(reply.body);
        if (!video.found)
            return Finish(StreamState::BadAnswer, "the stream has no video (its SDP lists none)");
        result.state = StreamState::Plays;
        result.encoding = video.encoding;
        result.width = video.width;
        result.height = video.height;
    }

    // What a finished round says; true when a second round is to go.
    bool Read(CURLcode code) {
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        long connects = 0;
        curl_easy_getinfo(handle, CURLINFO_NUM_CONNECTS, &connects);
        result.connections += static_cast<int>(connects);
        if (reply.bodyTooLarge || reply.headersTooLarge) {
            Finish(StreamState::BadAnswer, "the server's answer is larger than a description is");
            return false;
        }
        if (code != CURLE_OK) {
            long osErrno = 0;
            curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &osErrno);
            if (code == CURLE_COULDNT_CONNECT) {
                Finish(StreamState::NoServer, osErrno == ECONNREFUSED
                                                  ? "nothing listens at " + host + " (connection refused)"
                                                  : "no RTSP server can be reached at " + host);
            } else if (code == CURLE_OPERATION_TIMEDOUT) {
                Finish(StreamState::NoAnswer,
                       "no answer within " + std::to_string(kStreamCheckTime.count() / 1000) + " s");
            } else {
                Finish(StreamState::BadAnswer,
                       std::string("not an RTSP answer: ") + (error[0] ? error : curl_easy_strerror(code)));
            }
            return false;
        }
        if (status == 200) {
            Plays();
            return false;
        }
        if (status == 404 || status == 454) {
            Finish(StreamState::NotFound,
                   "the server does not know this stream (RTSP " + std::to_string(status) + ")");
            return false;
        }
        if (status != 401) {
            Finish(StreamState::BadAnswer, "RTSP " + std::to_string(status) + " to DESCRIBE");
            return false;
        }
        bool basic = false;
        std::string unanswerable;
        for (const std::string& value : reply.challenges) {
            std::string why;
            if (auto c = ParseDigestChallenge(value, &why); c && !digest.Active()) digest.Take(*c);
            if (!why.empty()) unanswerable = why;
            basic = basic || OffersScheme(value, "basic");
        }
        if (round > 1) {
            Finish(StreamState::CredentialsRefused, "the RTSP server refused the credentials");
        } else if (otherHost) {
            Finish(StreamState::OtherHost, "the stream is served by another host (" + host +
                                               ") than the device; no credentials were sent to it");
        } else if (!mayAuthenticate) {
            Finish(StreamState::CredentialsRefused, "the stream needs credentials, and none were given");
        } else if (digest.Active()) {
            return true;
        } else if (basic) {
            Finish(
                StreamState::BasicOnly,
                "the RTSP server offers only Basic, which would send the password in clear: it was not sent");
        } else if (!unanswerable.empty()) {
            Finish(StreamState::BadAnswer,
                   "the RTSP server asks for Digest with " + unanswerable + ", which cannot be answered");
        } else {
            Finish(StreamState::BadAnswer, "RTSP 401 without a challenge");
        }
        return false;
    }
};

// The device's answer to the credentials, as far as this check has seen it. Until it has taken them once,
// they are answered to one stream at a time: cameras lock an account after a few failed logins, and RTSP
// servers often keep a user list of their own, so a password the device service took may be refused here.
class LoginGate {
public:
    enum class Verdict { Unknown, Trying, Accepted, Refused };
    Verdict Now() const { return m_verdict; }
    void Try() { m_verdict = Verdict::Trying; }
    // What the one stream that was sent the credentials came back with.
    void Tried(const Probe& p) {
        if (p.result.state == StreamState::CredentialsRefused || p.status == 403) {
            m_verdict = Verdict::Refused;
        } else if (p.status >= 200 && p.status < 500 && p.status != 401) {
            m_verdict = Verdict::Accepted;
        } else {
            m_verdict = Verdict::Unknown;  // lost on the way: the next stream may try
        }
    }

private:
    Verdict m_verdict = Verdict::Unknown;
};

}  // namespace

std::vector<StreamCheck> CheckStreams(const std::vector<std::string>& uris, const std::string& deviceUri,
                                      const std::string& user, const std::string& password,
                                      std::chrono::milliseconds bound) {
    CurlGlobalInit();
    std::vector<StreamCheck> results(uris.size());
    const auto device = ParseUrl(deviceUri);
    const std::string deviceHost = device ? device->host : std::string();
    std::vector<std::unique_ptr<Probe>> waiting;
    for (std::size_t i = 0; i < uris.size(); ++i) {
        const auto url = ParseUrl(uris[i]);
        if (!url || url->scheme != "rtsp" || url->host.empty()) {
            results[i].detail = !url || url->host.empty() ? "not an address with a host"
                                                          : "a " + url->scheme + ":// address is not checked";
            continue;
        }
        auto p = std::make_unique<Probe>();
        p->index = i;
        p->host = url->host;
        p->target = Origin(*url) + url->pathAndQuery;
        Url unzoned = *url;
        if (const auto zone = unzoned.host.find('%');
            zone != std::string::npos && unzoned.host.front() == '[')
            unzoned.host = unzoned.host.substr(0, zone) + "]";
        p->requestUri = Origin(unzoned) + url->pathAndQuery;
        p->otherHost = !SameHost(url->host, deviceHost);
        p->mayAuthenticate = !p->otherHost && !user.empty() && !password.empty();
        waiting.push_back(std::move(p));
    }
    CURLM* multi = curl_multi_init();
    if (!multi) return results;
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, static_cast<long>(kMaxStreamChecksAtOnce));
    std::vector<std::unique_ptr<Probe>> active;
    // Challenged streams whose answer waits for the device's verdict on another stream's; they keep
    // their connection and their place among those at once.
    std::vector<Probe*> held;
    Probe* trying = nullptr;
    LoginGate gate;
    std::reverse(waiting.begin(), waiting.end());
    auto settle = [&](std::unique_ptr<Probe> p) { results[p->index] = p->result; };
    auto release = [&](std::unique_ptr<Probe>& slot) {
        std::unique_ptr<Probe> done = std::move(slot);
        active.erase(std::find(active.begin(), active.end(), nullptr));
        settle(std::move(done));
    };
    auto slotOf = [&](const Probe* p) -> std::unique_ptr<Probe>& {
        return *std::find_if(active.begin(), active.end(), [&](const auto& a) { return a.get() == p; });
    };
    // A stream earlier in the list that may still be challenged: it goes first, so that the stream tried
    // with the credentials is always the first one that needs them (the main stream, as a rule).
    auto earlierUnanswered = [&](const Probe& p) {
        return std::any_of(active.begin(), active.end(), [&](const auto& q) {
            return q && q->index < p.index && q->mayAuthenticate && q->round == 1 &&
                   std::find(held.begin(), held.end(), q.get()) == held.end();
        });
    };
    // Sends the Digest answer of a challenged stream, holds it, or says why it is not sent; false when
    // the stream is done.
    auto answer = [&](Probe& p) {
        if (gate.Now() == LoginGate::Verdict::Refused) {
            p.Finish(StreamState::NotTried,
                     "not tried: the device refused the credentials for another stream");
            return false;
        }
        if (gate.Now() == LoginGate::Verdict::Trying ||
            (gate.Now() == LoginGate::Verdict::Unknown && earlierUnanswered(p))) {
            held.push_back(&p);
            return true;
        }
        if (gate.Now() == LoginGate::Verdict::Unknown) {
            gate.Try();
            trying = &p;
        }
        // The uri is the request line's, exactly: cameras compare it.
        if (p.Send(multi, p.digest.Answer(user, password, "DESCRIBE", p.requestUri, ""))) return true;
        if (trying == &p) {
            trying = nullptr;
            gate.Tried(p);
        }
        p.Finish(StreamState::NoAnswer, "no time left to answer the challenge");
        return false;
    };
    // After any stream ends, the held ones are looked at again, in the list's order: each goes on, ends,
    // or is held again.
    auto resume = [&] {
        std::vector<Probe*> again;
        again.swap(held);
        std::sort(again.begin(), again.end(),
                  [](const Probe* a, const Probe* b) { return a->index < b->index; });
        for (Probe* p : again) {
            if (!answer(*p)) release(slotOf(p));
        }
    };
    while (!waiting.empty() || !active.empty()) {
        while (!waiting.empty() && static_cast<int>(active.size()) < kMaxStreamChecksAtOnce) {
            std::unique_ptr<Probe> p = std::move(waiting.back());
            waiting.pop_back();
            p->deadline = Clock::now() + bound;
            if (!p->Send(multi, {})) {
                p->Finish(StreamState::NoAnswer, "no time left to ask");
                settle(std::move(p));
                continue;
            }
            active.push_back(std::move(p));
        }
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) break;
        CURLMsg* message = nullptr;
        int left = 0;
        bool finished = false;
        while ((message = curl_multi_info_read(multi, &left)) != nullptr) {
            if (message->msg != CURLMSG_DONE) continue;
            const auto it = std::find_if(active.begin(), active.end(),
                                         [&](const auto& p) { return p->handle == message->easy_handle; });
            if (it == active.end()) continue;
            Probe& p = **it;
            const CURLcode code = message->data.result;
            finished = true;
            curl_multi_remove_handle(multi, p.handle);
            const bool challenged = p.Read(code);
            if (trying == &p) {
                trying = nullptr;
                gate.Tried(p);
            }
            if (challenged && answer(p)) continue;
            release(*it);
            resume();
        }
        // A held stream whose time ran out while it waited.
        for (std::size_t i = 0; i < held.size();) {
            if (Clock::now() < held[i]->deadline) {
                ++i;
                continue;
            }
            Probe* p = held[i];
            held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
            p->Finish(StreamState::NoAnswer, "no time left to answer the challenge");
            release(slotOf(p));
        }
        // Wait for the sockets only when nothing finished: what was just sent again starts at once.
        if (!finished && running > 0) curl_multi_poll(multi, nullptr, 0, 50, nullptr);
        if (!finished && running == 0 && !held.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (auto& p : active) {
        curl_multi_remove_handle(multi, p->handle);
        p->Finish(StreamState::BadAnswer, "the check could not go on");
        results[p->index] = p->result;
    }
    active.clear();
    curl_multi_cleanup(multi);
    return results;
}

}  // namespace onvifc
