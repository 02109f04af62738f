#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace onvifc {

// Whether a stream address plays, from one RTSP DESCRIBE (never SETUP or PLAY: no stream slot of the
// camera is taken).
enum class StreamState {
    NotChecked,
    Plays,
    CredentialsRefused,
    BasicOnly,
    OtherHost,
    NotFound,
    NoServer,
    NoAnswer,
    BadAnswer,
    NotTried  // the device refused the credentials for another of its streams in this check
};

const char* StreamStateName(StreamState state);  // "plays", "credentials-refused", ...

struct StreamCheck {
    StreamState state = StreamState::NotChecked;
    std::string encoding;  // from the SDP: H264, H265, JPEG, MPEG4
    int width = 0;
    int height = 0;
    std::string detail;  // what came, in words, when it does not play
    int requests = 0;    // DESCRIBEs sent
    int connections = 0;
};

constexpr std::chrono::milliseconds kStreamCheckTime{5000};
constexpr int kMaxStreamChecksAtOnce = 4;

// Checks each address, up to kMaxStreamChecksAtOnce at a time, each within `bound` of its start, over a
// connection of its own. Credentials go only by RTSP Digest and only to the host of `deviceUri` (the
// device address the user gave); a stream on another host is asked without them. One attempt each: a
// DESCRIBE, and when challenged for Digest one more with the answer. Nothing is retried, and the
// credentials are answered to one stream at a time until the device has taken them once: after a refusal
// the device's other streams are not sent them (NotTried), so one check costs at most one failed login.
std::vector<StreamCheck> CheckStreams(const std::vector<std::string>& uris, const std::string& deviceUri,
                                      const std::string& user, const std::string& password,
                                      std::chrono::milliseconds bound = kStreamCheckTime);

}  // namespace onvifc
