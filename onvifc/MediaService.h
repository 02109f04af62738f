#pragma once

// The media service, Media 1 or Media 2: each operation's request next to the reading of its reply, and
// the choice of the profiles whose streams are asked for.
#include <optional>
#include <string>
#include <vector>

#include "DeviceService.h"

namespace onvifc {

struct Profile {
    std::string token;
    std::string name;
    bool video = false;           // has a video encoder configuration
    bool configurations = false;  // lists any configuration at all (bare profiles say nothing of video)
    std::string videoSource;      // the source token of its video source configuration
    std::string encoding;         // H264, H265, JPEG, MPEG4 ... as the encoder configuration names it
    int width = 0;
    int height = 0;
};

// Media 1 when the device offers it (some firmwares answer Media 2 wrongly), else Media 2.
struct MediaService {
    explicit MediaService(const Services& services);
    std::string GetProfilesRequest() const;
    std::string GetStreamUriRequest(const std::string& profileToken) const;
    std::string GetSnapshotUriRequest(const std::string& profileToken) const;

    bool media2;
    std::string address;  // as the device advertised it
    std::string space;    // the service's namespace, for the SOAP action
    std::string declare;  // its namespace declaration
};

// Each returns nothing when the body is not the expected response.
std::optional<std::vector<Profile>> ParseProfiles(const std::string& body);
std::optional<std::string> ParseStreamUri(const std::string& body);
std::optional<std::string> ParseSnapshotUri(const std::string& body);

// The profiles that carry video, in the device's order but those of the first video source (the
// source of the first video profile) first, then those of the next, and so on: so the first two are a
// main and a sub stream of one camera. Profiles that list no configuration at all cannot tell, and are
// all kept when every profile is such.
std::vector<Profile> VideoProfilesBySource(const std::vector<Profile>& profiles);

// Encodings as Media 1 names them (Media 2 uses MIME subtypes: MPV4-ES is MPEG4).
std::string EncodingName(std::string text);

}  // namespace onvifc
