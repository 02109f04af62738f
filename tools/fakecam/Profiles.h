#pragma once

#include <string>
#include <vector>

#include "Options.h"

namespace fakecam {

// One media profile of a simulated device, as its firmware lists it.
struct ProfileSpec {
    std::string token;
    std::string name;
    bool video = true;  // has a video encoder configuration
    int source = 0;     // which video input (0, 1, ...)
    int width = 0;
    int height = 0;
    std::string encoding = "H264";
};

// Every profile of a device, in the order its firmware lists them: with --video-sources N the main
// streams of all inputs first, then their sub streams (input 1 main, input 2 main, input 1 sub ...);
// --audio-first puts an audio-only profile before them, --audio-profiles K makes the last K audio-only.
std::vector<ProfileSpec> DeviceProfiles(const Options& o);
const ProfileSpec* FindProfile(const std::vector<ProfileSpec>& profiles, const std::string& token);

// The RTSP address a device gives for one of its profiles, as GetStreamUri answers it (--stream-host
// names another host: the firmware faults 127.0.0.1, 0.0.0.0 or "empty", or a recorder's host).
std::string StreamUri(const Options& o, int device, const std::string& token, bool viaMedia2);

// The H.264 sequence parameter set (NAL unit, emulation prevention included) of a stream of that size.
std::string H264Sps(int width, int height);
// The H.265 one, coded in 16x16 blocks with the rest cropped, as hardware encoders write it.
std::string H265Sps(int width, int height);
std::string Base64(const std::string& bytes);

}  // namespace fakecam
