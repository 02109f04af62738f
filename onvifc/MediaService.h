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

// Media 1 or Media 2 at the address the device advertised.
struct MediaService {
    MediaService(std::string advertised, bool isMedia2);
    std::string GetProfilesRequest() const;
    std::string GetStreamUriRequest(const std::string& profileToken) const;
    std::string GetSnapshotUriRequest(const std::string& profileToken) const;

    bool media2;
    std::string address;  // as the device advertised it
    std::string space;    // the service's namespace, for the SOAP action
    std::string declare;  // its namespace declaration
};

// The media services a device offers, in the order they are asked: Media 2 first, as only it can say H.265
// (Media 1's encodings have no word for it, and firmware writes H264), then Media 1, which a device whose
// Media 2 is broken still answers.
std::vector<MediaService> MediaServicesInOrder(const Services& services);

// Each returns nothing when the body is not the expected response.
std::optional<std::vector<Profile>> ParseProfiles(const std::string& body);
std::optional<std::string> ParseStreamUri(const std::string& body);
std::optional<std::string> ParseSnapshotUri(const std::string& body);

// The profiles that carry video, in the device's order but those of the first video source (the
// source of the first video profile) first, then those of the next, and so on; within a source its first
// profile, then its H.264 and H.265 ones, then the others (Motion JPEG, unknown): so the first two are a
// main and a sub stream of one camera, the sub one a recorder can record when the camera has one. Profiles
// that list no configuration at all cannot tell, and are all kept when every profile is such.
std::vector<Profile> VideoProfilesBySource(const std::vector<Profile>& profiles);

// Encodings as Media 1 names them (Media 2 uses MIME subtypes: MPV4-ES is MPEG4).
std::string EncodingName(std::string text);

}  // namespace onvifc
