#include "Sdp.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <vector>

namespace onvifc {

namespace {

// Reads bits of an RBSP (emulation prevention removed); every read past the end fails the reader.
class BitReader {
public:
    explicit BitReader(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    bool Ok() const { return m_ok; }
    unsigned Bit() {
        if (m_at >= m_bytes.size() * 8) {
            m_ok = false;
            return 0;
        }
        const unsigned b = (m_bytes[m_at / 8] >> (7 - m_at % 8)) & 1;
        ++m_at;
        return b;
    }
    uint32_t Bits(int count) {
        uint32_t v = 0;
        for (int i = 0; i < count; ++i) v = (v << 1) | Bit();
        return v;
    }
    void Skip(int count) {
        for (int i = 0; i < count && m_ok; ++i) Bit();
    }
    // Unsigned Exp-Golomb; more than 31 leading zeros is no value a parameter set holds.
    uint32_t Ue() {
        int zeros = 0;
        while (m_ok && Bit() == 0) {
            if (++zeros > 31) {
                m_ok = false;
                return 0;
            }
        }
        if (!m_ok) return 0;
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + Bits(zeros));
    }
    int32_t Se() {
        const uint32_t k = Ue();
        return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }

private:
    std::vector<uint8_t> m_bytes;
    std::size_t m_at = 0;
    bool m_ok = true;
};

// The payload after a NAL header of `headerBytes`, with the 00 00 03 emulation prevention undone.
std::vector<uint8_t> Rbsp(std::string_view nal, std::size_t headerBytes) {
    std::vector<uint8_t> out;
    int zeros = 0;
    for (std::size_t i = headerBytes; i < nal.size(); ++i) {
        const auto b = static_cast<uint8_t>(nal[i]);
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
}

void SkipScalingList(BitReader& r, int size) {
    int last = 8;
    int next = 8;
    for (int j = 0; j < size && r.Ok(); ++j) {
        if (next != 0) next = (last + r.Se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

// Sizes no camera sends are taken for a broken parameter set.
bool Plausible(int64_t width, int64_t height) {
    return width > 0 && height > 0 && width <= 16384 && height <= 16384;
}

std::string Base64Decode(std::string_view text) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (const char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+' || c == '-')
            v = 62;
        else if (c == '/' || c == '_')
            v = 63;
        else if (c == '=')
            break;
        else
            return {};
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

std::string Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return std::string(s);
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The value of `name=` in an fmtp parameter list ("a=1;b=2"), case-insensitive name.
std::string FmtpValue(std::string_view params, std::string_view name) {
    std::size_t at = 0;
    while (at <= params.size()) {
        const std::size_t end = std::min(params.find(';', at), params.size());
        const std::string_view item = params.substr(at, end - at);
        const std::size_t eq = item.find('=');
        if (eq != std::string_view::npos && Upper(Trim(item.substr(0, eq))) == Upper(std::string(name))) {
            return Trim(item.substr(eq + 1));
        }
        at = end + 1;
    }
    return {};
}

std::string EncodingName(const std::string& rtpmapName) {
    const std::string n = Upper(rtpmapName);
    if (n == "H264") return "H264";
    if (n == "H265" || n == "HEVC") return "H265";
    if (n == "JPEG") return "JPEG";
    if (n == "MP4V-ES") return "MPEG4";
    std::string shown;
    for (const char c : rtpmapName.substr(0, 16))
        shown += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    return shown;
}

}  // namespace

bool ReadH264SpsSize(std::string_view nal, int& width, int& height) {
    if (nal.size() < 4 || (static_cast<uint8_t>(nal[0]) & 0x1F) != 7) return false;
    BitReader r(Rbsp(nal, 1));
    const uint32_t profile = r.Bits(8);
    r.Skip(16);  // constraint flags, level_idc
    r.Ue();      // seq_parameter_set_id
    uint32_t chroma = 1;
    bool separatePlanes = false;
    static const uint32_t kHigh[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    if (std::find(std::begin(kHigh), std::end(kHigh), profile) != std::end(kHigh)) {
        chroma = r.Ue();
        if (chroma > 3) return false;
        if (chroma == 3) separatePlanes = r.Bit();
        r.Ue();         // bit_depth_luma_minus8
        r.Ue();         // bit_depth_chroma_minus8
        r.Bit();        // qpprime_y_zero_transform_bypass_flag
        if (r.Bit()) {  // seq_scaling_matrix_present_flag
            for (int i = 0; i < (chroma != 3 ? 8 : 12) && r.Ok(); ++i) {
                if (r.Bit()) SkipScalingList(r, i < 6 ? 16 : 64);
            }
        }
    }
    r.Ue();  // log2_max_frame_num_minus4
    const uint32_t pocType = r.Ue();
    if (pocType == 0) {
        r.Ue();
    } else if (pocType == 1) {
        r.Bit();
        r.Se();
        r.Se();
        const uint32_t cycle = r.Ue();
        if (cycle > 255) return false;
        for (uint32_t i = 0; i < cycle && r.Ok(); ++i) r.Se();
    } else if (pocType != 2) {
        return false;
    }
    r.Ue();   // max_num_ref_frames
    r.Bit();  // gaps_in_frame_num_value_allowed_flag
    const int64_t widthMbs = int64_t{r.Ue()} + 1;
    const int64_t heightUnits = int64_t{r.Ue()} + 1;
    const int64_t frameMbsOnly = r.Bit();
    if (!frameMbsOnly) r.Bit();  // mb_adaptive_frame_field_flag
    r.Bit();                     // direct_8x8_inference_flag
    int64_t left = 0, right = 0, top = 0, bottom = 0;
    if (r.Bit()) {
        left = r.Ue();
        right = r.Ue();
        top = r.Ue();
        bottom = r.Ue();
    }
    if (!r.Ok()) return false;
    const uint32_t arrayType = separatePlanes ? 0 : chroma;
    const int64_t cropX = arrayType == 0 || arrayType == 3 ? 1 : 2;
    const int64_t cropY = (arrayType == 1 ? 2 : 1) * (2 - frameMbsOnly);
    const int64_t w = widthMbs * 16 - cropX * (left + right);
    const int64_t h = (2 - frameMbsOnly) * heightUnits * 16 - cropY * (top + bottom);
    if (!Plausible(w, h)) return false;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return true;
}

bool ReadH265SpsSize(std::string_view nal, int& width, int& height) {
    if (nal.size() < 4 || ((static_cast<uint8_t>(nal[0]) >> 1) & 0x3F) != 33) return false;
    BitReader r(Rbsp(nal, 2));
    r.Skip(4);  // sps_video_parameter_set_id
    const uint32_t subLayers = r.Bits(3);
    r.Skip(1);  // sps_temporal_id_nesting_flag
    // profile_tier_level: the general profile (88 bits) and level (8), then each sub-layer's.
    r.Skip(96);
    std::vector<std::pair<bool, bool>> present;
    for (uint32_t i = 0; i < subLayers; ++i) present.emplace_back(r.Bit(), r.Bit());
    if (subLayers > 0) r.Skip(2 * (8 - static_cast<int>(subLayers)));
    for (const auto& [profile, level] : present) {
        if (profile) r.Skip(88);
        if (level) r.Skip(8);
    }
    r.Ue();  // sps_seq_parameter_set_id
    const uint32_t chroma = r.Ue();
    if (chroma > 3) return false;
    if (chroma == 3) r.Bit();  // separate_colour_plane_flag
    int64_t w = r.Ue();
    int64_t h = r.Ue();
    if (r.Bit()) {  // conformance_window_flag
        const int64_t subWidth = chroma == 1 || chroma == 2 ? 2 : 1;
        const int64_t subHeight = chroma == 1 ? 2 : 1;
        const int64_t left = r.Ue(), right = r.Ue(), top = r.Ue(), bottom = r.Ue();
        w -= subWidth * (left + right);
        h -= subHeight * (top + bottom);
    }
    if (!r.Ok() || !Plausible(w, h)) return false;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return true;
}

SdpVideo ReadSdpVideo(std::string_view sdp) {
    SdpVideo video;
    sdp = sdp.substr(0, std::min(sdp.size(), kMaxSdpBytes));
    std::string payload;  // the first payload type of the video line
    bool inVideo = false;
    int lines = 0;
    for (std::size_t at = 0; at < sdp.size() && lines < kMaxSdpLines; ++lines) {
        std::size_t end = sdp.find('\n', at);
        if (end == std::string_view::npos) end = sdp.size();
        std::string line = Trim(sdp.substr(at, end - at));
        at = end + 1;
        if (line.rfind("m=", 0) == 0) {
            if (video.found) break;  // only the first video stream
            inVideo = line.rfind("m=video ", 0) == 0;
            if (!inVideo) continue;
            video.found = true;
            // m=video <port> <proto> <fmt> ...
            std::size_t p = 0;
            for (int field = 0; field < 3 && p != std::string::npos; ++field) p = line.find(' ', p + 1);
            if (p != std::string::npos) payload = Trim(line.substr(p + 1, line.find(' ', p + 1) - p - 1));
            if (payload == "26") video.encoding = "JPEG";  // static payload type: Motion JPEG
            continue;
        }
        if (!inVideo) continue;
        const auto attribute = [&](const char* name) -> std::string {
            const std::string prefix = std::string("a=") + name + ":";
            if (line.rfind(prefix, 0) != 0) return {};
            return line.substr(prefix.size());
        };
        if (std::string v = attribute("rtpmap"); !v.empty() && v.rfind(payload + " ", 0) == 0) {
            const std::string name = Trim(v.substr(payload.size() + 1));
            video.encoding = EncodingName(name.substr(0, name.find('/')));
        } else if (std::string f = attribute("fmtp"); !f.empty() && f.rfind(payload + " ", 0) == 0) {
            const std::string params = f.substr(payload.size() + 1);
            int w = 0, h = 0;
            const std::string sets = FmtpValue(params, "sprop-parameter-sets");
            const std::string first = sets.substr(0, std::min(sets.find(','), sets.size()));
            const std::string hevc = FmtpValue(params, "sprop-sps");
            if (!first.empty() && first.size() <= kMaxParameterSet * 2 &&
                ReadH264SpsSize(Base64Decode(first), w, h)) {
                video.width = w;
                video.height = h;
            } else if (!hevc.empty() && hevc.size() <= kMaxParameterSet * 2 &&
                       ReadH265SpsSize(Base64Decode(hevc), w, h)) {
                video.width = w;
                video.height = h;
            }
        } else if (video.width == 0) {
            // Sizes some servers state for Motion JPEG: a=x-dimensions:W,H or a=framesize:PT W-H.
            std::string dims = attribute("x-dimensions");
            char separator = ',';
            if (dims.empty()) {
                const std::string framesize = attribute("framesize");
                if (framesize.rfind(payload + " ", 0) == 0) dims = framesize.substr(payload.size() + 1);
                separator = '-';
            }
            const std::size_t cut = dims.find(separator);
            if (cut != std::string::npos && cut > 0 && cut < 6 && dims.size() - cut - 1 < 6) {
                const std::string a = Trim(std::string_view(dims).substr(0, cut));
                const std::string b = Trim(std::string_view(dims).substr(cut + 1));
                const auto isDigits = [](const std::string& t) {
                    return !t.empty() &&
                           std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
                };
                const bool digits = isDigits(a) && isDigits(b);
                if (digits && Plausible(std::stoll(a), std::stoll(b))) {
                    video.width = std::stoi(a);
                    video.height = std::stoi(b);
                }
            }
        }
    }
    return video;
}

}  // namespace onvifc
