// The simulated devices' media profiles and the H.264 parameters their streams would carry, written from
// the ONVIF profile model and ITU-T H.264 7.3.2.1 on their own.
#include "Profiles.h"

#include <openssl/evp.h>

#include <cstdint>

#include "Net.h"

namespace fakecam {

namespace {

// Main, sub, then third streams and on.
void SizeOf(int rank, int& width, int& height) {
    if (rank == 0) {
        width = 1920;
        height = 1080;
    } else if (rank == 1) {
        width = 640;
        height = 360;
    } else {
        width = 1280;
        height = 720;
    }
}

std::string NameOf(int rank, int source, int sources) {
    const std::string base = rank == 0   ? "mainStream"
                             : rank == 1 ? "subStream"
                                         : "stream" + std::to_string(rank);
    return sources > 1 ? base + "_" + std::to_string(source + 1) : base;
}

class BitWriter {
public:
    void Bit(unsigned b) {
        m_current = static_cast<uint8_t>((static_cast<unsigned>(m_current) << 1) | (b & 1u));
        if (++m_bits == 8) Flush();
    }
    void Bits(unsigned value, int count) {
        for (int i = count - 1; i >= 0; --i) Bit((value >> i) & 1);
    }
    // Unsigned Exp-Golomb.
    void Ue(unsigned value) {
        const unsigned v = value + 1;
        int length = 0;
        while ((v >> length) > 1) ++length;
        Bits(0, length);
        Bits(v, length + 1);
    }
    std::string Finish() {
        Bit(1);  // rbsp_stop_one_bit
        while (m_bits != 0) Bit(0);
        return m_out;
    }

private:
    void Flush() {
        m_out += static_cast<char>(m_current);
        m_current = 0;
        m_bits = 0;
    }
    std::string m_out;
    uint8_t m_current = 0;
    int m_bits = 0;
};

// A NAL unit: its header, then the payload with emulation prevention bytes.
std::string WithEmulationPrevention(std::string nal, const std::string& rbsp) {
    int zeros = 0;
    for (const char c : rbsp) {
        const auto b = static_cast<unsigned char>(c);
        if (zeros >= 2 && b <= 3) {
            nal += '\x03';
            zeros = 0;
        }
        nal += c;
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return nal;
}

}  // namespace

std::vector<ProfileSpec> DeviceProfiles(const Options& o) {
    std::vector<ProfileSpec> out;
    if (o.audioFirst) {
        ProfileSpec audio;
        audio.token = "Profile_audio";
        audio.name = "audio";
        audio.video = false;
        out.push_back(audio);
    }
    const int sources = o.videoSources > 0 ? o.videoSources : 1;
    for (int k = 0; k < o.profiles; ++k) {
        ProfileSpec p;
        p.token = "Profile_" + std::to_string(k);
        p.source = k % sources;
        const int rank = k / sources;
        p.name = NameOf(rank, p.source, sources);
        SizeOf(rank, p.width, p.height);
        if (rank == 0 && o.mainWidth > 0) {
            p.width = o.mainWidth;
            p.height = o.mainHeight;
        }
        if (rank == 0 && !o.mainEncoding.empty()) p.encoding = o.mainEncoding;
        if (rank == 1 && !o.subEncoding.empty()) p.encoding = o.subEncoding;
        p.video = k < o.profiles - o.audioProfiles;
        out.push_back(p);
    }
    return out;
}

const ProfileSpec* FindProfile(const std::vector<ProfileSpec>& profiles, const std::string& token) {
    for (const ProfileSpec& p : profiles) {
        if (p.token == token) return &p;
    }
    return nullptr;
}

std::string StreamUri(const Options& o, int device, const std::string& token, bool viaMedia2) {
    std::string host = o.streamHost.empty() ? UrlHost(o.bind) : o.streamHost;
    if (o.streamHost == "empty") host.clear();
    const int port = o.rtspPort > 0 ? o.rtspPort : 554;
    // Some firmwares give different addresses through Media 2; with --media2-distinct we do too.
    std::string uri = "rtsp://" + host + ":" + std::to_string(port) + "/cam" + std::to_string(device) + "/" +
                      (viaMedia2 && o.media2Distinct ? "media2/" : "") + token;
    if (!o.uriQuery.empty()) uri += "?" + o.uriQuery;
    return uri;
}

std::string H264Sps(int width, int height) {
    const unsigned widthMbs = static_cast<unsigned>((width + 15) / 16);
    const unsigned heightMbs = static_cast<unsigned>((height + 15) / 16);
    BitWriter w;
    w.Bits(77, 8);  // profile_idc: Main
    w.Bits(0, 8);   // constraint flags, reserved
    w.Bits(40, 8);  // level_idc 4.0
    w.Ue(0);        // seq_parameter_set_id
    w.Ue(0);        // log2_max_frame_num_minus4
    w.Ue(0);        // pic_order_cnt_type
    w.Ue(2);        // log2_max_pic_order_cnt_lsb_minus4
    w.Ue(1);        // max_num_ref_frames
    w.Bit(0);       // gaps_in_frame_num_value_allowed_flag
    w.Ue(widthMbs - 1);
    w.Ue(heightMbs - 1);
    w.Bit(1);  // frame_mbs_only_flag
    w.Bit(1);  // direct_8x8_inference_flag
    const unsigned cropRight = (widthMbs * 16 - static_cast<unsigned>(width)) / 2;
    const unsigned cropBottom = (heightMbs * 16 - static_cast<unsigned>(height)) / 2;
    w.Bit(cropRight || cropBottom ? 1 : 0);
    if (cropRight || cropBottom) {
        w.Ue(0);
        w.Ue(cropRight);
        w.Ue(0);
        w.Ue(cropBottom);
    }
    w.Bit(0);  // vui_parameters_present_flag
    // NAL header: nal_ref_idc 3, type 7.
    return WithEmulationPrevention(std::string(1, '\x67'), w.Finish());
}

std::string H265Sps(int width, int height) {
    // Hardware encoders code whole 16x16 blocks and crop the rest away in the conformance window, in
    // units of chroma samples (two luma rows or columns for 4:2:0): 1080 rows are coded as 1088.
    const unsigned codedWidth = static_cast<unsigned>((width + 15) / 16 * 16);
    const unsigned codedHeight = static_cast<unsigned>((height + 15) / 16 * 16);
    BitWriter w;
    w.Bits(0, 4);  // sps_video_parameter_set_id
    w.Bits(0, 3);  // sps_max_sub_layers_minus1
    w.Bit(1);      // sps_temporal_id_nesting_flag
    // profile_tier_level: Main profile, Main tier, level 4.0
    w.Bits(0, 2);
    w.Bit(0);
    w.Bits(1, 5);
    w.Bits(0x6000, 16);  // general_profile_compatibility_flag[1] and [2]
    w.Bits(0, 16);
    w.Bits(0x9, 4);  // progressive, not interlaced, not packed, frame only
    w.Bits(0, 22);   // reserved (43 bits) and general_inbld_flag
    w.Bits(0, 22);
    w.Bits(120, 8);  // general_level_idc
    w.Ue(0);         // sps_seq_parameter_set_id
    w.Ue(1);         // chroma_format_idc: 4:2:0
    w.Ue(codedWidth);
    w.Ue(codedHeight);
    const unsigned cropRight = (codedWidth - static_cast<unsigned>(width)) / 2;
    const unsigned cropBottom = (codedHeight - static_cast<unsigned>(height)) / 2;
    w.Bit(cropRight || cropBottom ? 1 : 0);  // conformance_window_flag
    if (cropRight || cropBottom) {
        w.Ue(0);
        w.Ue(cropRight);
        w.Ue(0);
        w.Ue(cropBottom);
    }
    w.Ue(0);       // bit_depth_luma_minus8
    w.Ue(0);       // bit_depth_chroma_minus8
    w.Ue(4);       // log2_max_pic_order_cnt_lsb_minus4
    w.Bit(1);      // sps_sub_layer_ordering_info_present_flag
    w.Ue(1);       // sps_max_dec_pic_buffering_minus1
    w.Ue(0);       // sps_max_num_reorder_pics
    w.Ue(0);       // sps_max_latency_increase_plus1
    w.Ue(0);       // log2_min_luma_coding_block_size_minus3
    w.Ue(1);       // log2_diff_max_min_luma_coding_block_size: 16x16 blocks
    w.Ue(0);       // log2_min_luma_transform_block_size_minus2
    w.Ue(2);       // log2_diff_max_min_luma_transform_block_size
    w.Ue(1);       // max_transform_hierarchy_depth_inter
    w.Ue(1);       // max_transform_hierarchy_depth_intra
    w.Bits(0, 4);  // scaling lists, amp, sample adaptive offset, pcm
    w.Ue(0);       // num_short_term_ref_pic_sets
    w.Bit(0);      // long_term_ref_pics_present_flag
    w.Bit(1);      // sps_temporal_mvp_enabled_flag
    w.Bit(1);      // strong_intra_smoothing_enabled_flag
    w.Bit(0);      // vui_parameters_present_flag
    w.Bit(0);      // sps_extension_present_flag
    // NAL header: type 33, layer 0, temporal id 1.
    return WithEmulationPrevention(std::string("\x42\x01", 2), w.Finish());
}

std::string Base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace fakecam
