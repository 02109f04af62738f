// The stream check's states, by the names the C interface and the command line give them.
#include "RtspCheck.h"

namespace onvifc {

const char* StreamStateName(StreamState state) {
    switch (state) {
        case StreamState::Plays:
            return "plays";
        case StreamState::CredentialsRefused:
            return "credentials-refused";
        case StreamState::BasicOnly:
            return "basic-only";
        case StreamState::OtherHost:
            return "other-host";
        case StreamState::NotFound:
            return "not-found";
        case StreamState::NoServer:
            return "no-server";
        case StreamState::NoAnswer:
            return "no-answer";
        case StreamState::BadAnswer:
            return "bad-answer";
        case StreamState::NotTried:
            return "not-tried";
        case StreamState::NotChecked:
            break;
    }
    return "not-checked";
}

}  // namespace onvifc
