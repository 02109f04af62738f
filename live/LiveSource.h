#pragma once

// Which address a stream is opened at, decided by its check, and the first decoded frame of a stream.
#include <QString>
#include <chrono>
#include <string>

#include "LiveStream.h"
#include "StreamRequest.h"

namespace quorvi::live {

// The stream is opened with the user's credentials only when the check found it playing on the device's
// own host (its server took them by Digest, or asked for none); a stream that did not play is not opened,
// and `refusal` says why: the check's words, or that the password was kept back.
struct Opening {
    std::string url;  // empty: not opened
    QString refusal;
    QString state;  // "too-large" when it played but declares a picture no camera makes; else empty
};
Opening OpeningAfterCheck(const StreamInfo& stream, const StreamCheckResult& check, const QString& user,
                          const QString& password);

// The first decoded frame of `url`, and the frame rate measured over the frames that come within
// `measureFor` after it (none asked: the rate stays 0).
struct FirstFrame {
    Outcome outcome = Outcome::Failed;
    std::string detail;
    Frame frame;
};
FirstFrame DecodeFirstFrame(const std::string& url,
                            std::chrono::milliseconds measureFor = std::chrono::milliseconds(0));

}  // namespace quorvi::live
