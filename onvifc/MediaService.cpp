#include "MediaService.h"

#include <algorithm>
#include <cctype>

#include "Soap.h"
#include "SoapXml.h"

namespace onvifc {

using namespace xml;

namespace {

constexpr const char* kMedia1Setup =
    "<trt:StreamSetup><tt:Stream>RTP-Unicast</tt:Stream><tt:Transport><tt:Protocol>RTSP</tt:Protocol>"
    "</tt:Transport></trt:StreamSetup>";

}  // namespace

MediaService::MediaService(std::string advertised, bool isMedia2)
    : media2(isMedia2),
      address(std::move(advertised)),
      space(media2 ? ns::kMedia2 : ns::kMedia1),
      declare(std::string("xmlns:") + (media2 ? "tr2" : "trt") + "=\"" + space + "\"") {}

std::vector<MediaService> MediaServicesInOrder(const Services& services) {
    std::vector<MediaService> out;
    if (!services.media2.empty()) out.emplace_back(services.media2, true);
    if (!services.media1.empty()) out.emplace_back(services.media1, false);
    return out;
}

std::string MediaService::GetProfilesRequest() const {
    return media2 ? "<tr2:GetProfiles " + declare + "><tr2:Type>All</tr2:Type></tr2:GetProfiles>"
                  : "<trt:GetProfiles " + declare + "/>";
}

namespace {

std::string ProfileTokenElement(const std::string& prefix, const std::string& profileToken) {
    return "<" + prefix + ":ProfileToken>" + XmlEscape(profileToken) + "</" + prefix + ":ProfileToken>";
}

// The address inside a GetStreamUri or GetSnapshotUri response: Media 1 wraps it in MediaUri.
std::optional<std::string> MediaUriOf(const std::string& body, const char* response) {
    const Reply reply(body);
    const XMLElement* payload = reply.Payload(response);
    if (!payload) return std::nullopt;
    const XMLElement* uri = Child(Child(payload, "MediaUri"), "Uri");  // media 1
    if (!uri) uri = Child(payload, "Uri");                             // media 2
    if (!uri) return std::nullopt;
    return Text(uri);
}

}  // namespace

std::string MediaService::GetStreamUriRequest(const std::string& profileToken) const {
    const std::string prefix = media2 ? "tr2" : "trt";
    const std::string token = ProfileTokenElement(prefix, profileToken);
    return media2 ? "<tr2:GetStreamUri " + declare + "><tr2:Protocol>RTSP</tr2:Protocol>" + token +
                        "</tr2:GetStreamUri>"
                  : "<trt:GetStreamUri " + declare + " xmlns:tt=\"" + ns::kSchema + "\">" + kMedia1Setup +
                        token + "</trt:GetStreamUri>";
}

std::optional<std::vector<Profile>> ParseProfiles(const std::string& body) {
    const Reply reply(body);
    const XMLElement* response = reply.Payload("GetProfilesResponse");
    if (!response) return std::nullopt;
    std::vector<Profile> profiles;
    for (const XMLElement* p = response->FirstChildElement(); p; p = p->NextSiblingElement()) {
        if (!HasLocalName(p, "Profiles")) continue;
        const char* token = p->Attribute("token");
        if (!token || Trim(token).empty()) continue;  // nothing to ask for its stream by
        Profile profile;
        profile.token = Trim(token);
        profile.name = Text(Child(p, "Name"));
        // Media 1 names its configurations on the profile, Media 2 inside Configurations.
        const XMLElement* media2 = Child(p, "Configurations");
        const XMLElement* encoder =
            media2 ? Child(media2, "VideoEncoder") : Child(p, "VideoEncoderConfiguration");
        const XMLElement* source =
            media2 ? Child(media2, "VideoSource") : Child(p, "VideoSourceConfiguration");
        for (const XMLElement* c = p->FirstChildElement(); c && !profile.configurations;
             c = c->NextSiblingElement()) {
            const char* colon = std::strrchr(c->Name(), ':');
            const std::string local = colon ? colon + 1 : c->Name();
            profile.configurations =
                local == "Configurations" ||
                (local.size() > 13 && local.compare(local.size() - 13, 13, "Configuration") == 0);
        }
        profile.video = encoder != nullptr;
        profile.videoSource = Text(Child(source, "SourceToken"));
        profile.encoding = Text(Child(encoder, "Encoding"));
        const XMLElement* resolution = Child(encoder, "Resolution");
        ToInt(Text(Child(resolution, "Width")), 1, 65535, profile.width);
        ToInt(Text(Child(resolution, "Height")), 1, 65535, profile.height);
        profiles.push_back(std::move(profile));
    }
    return profiles;
}

std::string MediaService::GetSnapshotUriRequest(const std::string& profileToken) const {
    const std::string prefix = media2 ? "tr2" : "trt";
    return "<" + prefix + ":GetSnapshotUri " + declare + ">" + ProfileTokenElement(prefix, profileToken) +
           "</" + prefix + ":GetSnapshotUri>";
}

std::optional<std::string> ParseStreamUri(const std::string& body) {
    return MediaUriOf(body, "GetStreamUriResponse");
}

std::optional<std::string> ParseSnapshotUri(const std::string& body) {
    return MediaUriOf(body, "GetSnapshotUriResponse");
}

std::vector<Profile> VideoProfilesBySource(const std::vector<Profile>& profiles) {
    const bool anyTells =
        std::any_of(profiles.begin(), profiles.end(), [](const Profile& p) { return p.configurations; });
    if (!anyTells) return profiles;
    std::vector<std::string> sources;
    for (const Profile& p : profiles) {
        if (p.video && std::find(sources.begin(), sources.end(), p.videoSource) == sources.end())
            sources.push_back(p.videoSource);
    }
    // Within a source: its first profile (the main stream), then those a recorder can record (H.264,
    // H.265), then the rest (Motion JPEG, unknown) in the device's order. Installers often set the second
    // profile to MJPEG; the sub stream a recorder wants is then the next H.264 or H.265 one.
    const auto recordable = [](const Profile& p) {
        const std::string e = EncodingName(p.encoding);
        return e == "H264" || e == "H265";
    };
    std::vector<Profile> out;
    for (const std::string& source : sources) {
        std::vector<const Profile*> others;
        bool first = true;
        for (const Profile& p : profiles) {
            if (!p.video || p.videoSource != source) continue;
            if (first || recordable(p)) {
                out.push_back(p);
            } else {
                others.push_back(&p);
            }
            first = false;
        }
        for (const Profile* p : others) out.push_back(*p);
    }
    return out;
}

std::string EncodingName(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (text == "MPV4-ES") return "MPEG4";
    if (text == "H.264") return "H264";
    if (text == "H.265" || text == "HEVC") return "H265";
    return text.substr(0, 16);
}

}  // namespace onvifc
