// The stream check: RTSP DESCRIBE against fakecam's responder, GStreamer's RTSP server and listeners
// that misbehave; and the SDP and parameter set readers on their own. Runs in the private test network.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "RtspCheck.h"
#include "Sdp.h"
#include "TestSupport.h"
#include "onvifc.h"

using namespace quorvi::test;
using onvifc::CheckStreams;
using onvifc::StreamCheck;
using onvifc::StreamState;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRtspPort = 18554;

std::string Stream(int port, const std::string& path, const std::string& host = "127.0.0.1") {
    return "rtsp://" + host + ":" + std::to_string(port) + path;
}

const std::string kDevice = "http://127.0.0.1:18080/onvif/device_service";

}  // namespace

TEST(StreamCheck, FakecamsStreamsPlayWithTheirSize) {
    FakeDevice device({"--rtsp-port", std::to_string(kRtspPort)});
    ASSERT_TRUE(device.Ready());
    const auto checks =
        CheckStreams({Stream(kRtspPort, "/cam0/Profile_0"), Stream(kRtspPort, "/cam0/Profile_1")}, kDevice,
                     "admin", "40718");
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[0].state, StreamState::Plays) << checks[0].detail;
    EXPECT_EQ(checks[0].encoding, "H264");
    EXPECT_EQ(checks[0].width, 1920);
    EXPECT_EQ(checks[0].height, 1080);
    EXPECT_EQ(checks[1].width, 640);
    EXPECT_EQ(checks[1].height, 360);
    for (const StreamCheck& c : checks) {
        EXPECT_EQ(c.requests, 2) << "a DESCRIBE and its Digest answer";
        EXPECT_EQ(c.connections, 1);
    }
    EXPECT_EQ(device.Count("port=" + std::to_string(kRtspPort)), 2) << "one connection per stream\n"
                                                                    << device.Log();
    EXPECT_EQ(device.Count("method=SETUP") + device.Count("method=PLAY"), 0) << device.Log();
}

TEST(StreamCheck, EveryWayAStreamFailsHasItsState) {
    FakeDevice device({"--rtsp-port", std::to_string(kRtspPort), "--rtsp-password", "rtsp-only"});
    FakeDevice basic({"--rtsp-port", std::to_string(kRtspPort + 1), "--rtsp-auth", "basic"});
    FakeDevice right({"--rtsp-port", std::to_string(kRtspPort + 2)});
    ASSERT_TRUE(device.Ready() && basic.Ready() && right.Ready());
    SilentListener silent;
    const int closed = ClosedPort();
    const auto start = Clock::now();
    const auto checks = CheckStreams(
        {Stream(kRtspPort, "/cam0/Profile_0"), Stream(kRtspPort + 2, "/cam0/nothing"),
         Stream(kRtspPort + 1, "/cam0/Profile_0"), Stream(closed, "/x"), Stream(silent.port, "/x"),
         "rtsps://127.0.0.1:322/x", "rtsp://:554/x", Stream(kRtspPort, "/cam0/Profile_0", "localhost")},
        kDevice, "admin", "40718");
    const auto took = Clock::now() - start;
    ASSERT_EQ(checks.size(), 8u);
    EXPECT_EQ(checks[0].state, StreamState::CredentialsRefused) << checks[0].detail;
    EXPECT_EQ(checks[0].requests, 2) << "one attempt, never another";
    EXPECT_EQ(checks[1].state, StreamState::NotFound) << checks[1].detail;
    EXPECT_EQ(checks[2].state, StreamState::BasicOnly) << checks[2].detail;
    EXPECT_EQ(checks[3].state, StreamState::NoServer) << checks[3].detail;
    EXPECT_EQ(checks[4].state, StreamState::NoAnswer) << checks[4].detail;
    EXPECT_EQ(checks[5].state, StreamState::NotChecked) << checks[5].detail;
    EXPECT_EQ(checks[6].state, StreamState::NotChecked) << checks[6].detail;
    // A stream named by another host than the device's: asked without credentials.
    EXPECT_EQ(checks[7].state, StreamState::OtherHost) << checks[7].detail;
    EXPECT_LT(took, std::chrono::milliseconds(5000 * 2 + 3000)) << "bounded, four at a time";
    EXPECT_EQ(basic.Count("authorization=Basic"), 0) << "the password never goes in clear\n" << basic.Log();
    EXPECT_EQ(device.Count("authorization=Digest"), 1) << "credentials to the device's own host only\n"
                                                       << device.Log();
}

TEST(StreamCheck, NoCredentialsAreSentWhereNoneAreWanted) {
    FakeDevice device({"--rtsp-port", std::to_string(kRtspPort), "--rtsp-auth", "none"});
    ASSERT_TRUE(device.Ready());
    const auto checks =
        CheckStreams({Stream(kRtspPort, "/cam0/Profile_0", "localhost")}, kDevice, "admin", "40718");
    EXPECT_EQ(checks[0].state, StreamState::Plays) << "another host that asks for nothing still plays";
    EXPECT_EQ(checks[0].requests, 1);
    EXPECT_EQ(device.Count("authorization=none"), 1) << device.Log();
}

TEST(StreamCheck, GStreamersRtspServer) {
    ChildProcess server({QUORVI_RTSP_SERVER, "--port", "18600", "--user", "admin", "--password", "40718"});
    ASSERT_TRUE(server.WaitForLine("ready", std::chrono::seconds(20))) << server.Output();
    const auto right = CheckStreams({Stream(18600, "/main"), Stream(18600, "/sub"), Stream(18600, "/nope")},
                                    kDevice, "admin", "40718");
    EXPECT_EQ(right[0].state, StreamState::Plays) << right[0].detail;
    EXPECT_EQ(right[0].encoding, "H264");
    EXPECT_EQ(right[0].width, 1280);
    EXPECT_EQ(right[0].height, 720);
    EXPECT_EQ(right[1].state, StreamState::Plays) << right[1].detail;
    EXPECT_EQ(right[1].width, 640);
    EXPECT_EQ(right[1].height, 360);
    EXPECT_EQ(right[2].state, StreamState::NotFound) << right[2].detail;
    // One login per stream, as the server saw them: cameras lock an account after a few failed ones.
    const auto logins = [&server](const char* path) {
        const std::string out = server.Output();
        const std::string line =
            std::string("request DESCRIBE rtsp://127.0.0.1:18600") + path + " authorization=Digest\n";
        int n = 0;
        for (auto at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(logins("/main"), 1) << server.Output();
    EXPECT_EQ(logins("/sub"), 1) << server.Output();
    const auto wrong = CheckStreams({Stream(18600, "/main")}, kDevice, "admin", "guess");
    EXPECT_EQ(wrong[0].state, StreamState::CredentialsRefused) << wrong[0].detail;
    EXPECT_EQ(logins("/main"), 2) << "a refused password is tried once, never again\n" << server.Output();
}

TEST(StreamCheck, TheCApiFillsItsRecords) {
    const char* uris[] = {"rtsps://h/x", "rtsp://127.0.0.1:1/x"};
    OnvifStreamCheck results[2];
    EXPECT_EQ(Onvif_CheckStreams(uris, 2, kDevice.c_str(), "", "", results), 0);
    EXPECT_STREQ(Onvif_StreamStateName(results[0].state), "not-checked");
    EXPECT_STREQ(Onvif_StreamStateName(results[1].state), "no-server");
    EXPECT_GT(std::strlen(results[1].detail), 5u);
    EXPECT_EQ(Onvif_CheckStreams(nullptr, 1, "", "", "", results), ONVIF_ERR_INVALID_ARGUMENT);
    EXPECT_STREQ(Onvif_StreamStateName(99), "not-checked");
}

// What an SDP says of its video: parameter sets from real encoders (x264 through GStreamer, x265).
struct SdpCase {
    const char* name;
    std::string sdp;
    bool found;
    const char* encoding;
    int width;
    int height;
};

class Sdp : public ::testing::TestWithParam<SdpCase> {};

TEST_P(Sdp, ReadsTheFirstVideoStream) {
    const SdpCase& c = GetParam();
    const onvifc::SdpVideo v = onvifc::ReadSdpVideo(c.sdp);
    EXPECT_EQ(v.found, c.found);
    EXPECT_EQ(v.encoding, c.encoding);
    EXPECT_EQ(v.width, c.width);
    EXPECT_EQ(v.height, c.height);
}

namespace {
std::string H264(const std::string& sprop) {
    return "v=0\r\nm=audio 0 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 "
           "H264/90000\r\n"
           "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=" +
           sprop + ",aM48gA==\r\n";
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, Sdp,
    ::testing::Values(
        SdpCase{"BaselineFromGStreamer", H264("Z0LAH9oBQBbsBagICAoAAAMAAgAAAwApHjBlQA=="), true, "H264", 1280,
                720},
        SdpCase{"HighWithCropping", H264("Z2QAKKzZQHgCJ+XAWoCAgKAAAAMAIAAAB5HjBjLA"), true, "H264", 1920,
                1080},
        SdpCase{"High444", H264("Z/QAH5DZsoCgC3YC1AQEBQAAAwABAAADADyPGDGW"), true, "H264", 1280, 720},
        SdpCase{"H265FromX265",
                "m=video 0 RTP/AVP 97\na=rtpmap:97 H265/90000\na=fmtp:97 sprop-vps=QAEMAf//;"
                "sprop-sps=QgEBA3AAAAMAkAAAAwAAAwB4oAPAgBDlllZpJMrgEAAAPoAABhqAgA==;sprop-pps=RAHAcvAbJA==\n",
                true, "H265", 1920, 1080},
        SdpCase{"MotionJpegWithFramesize", "m=video 0 RTP/AVP 26\r\na=framesize:26 704-576\r\n", true, "JPEG",
                704, 576},
        SdpCase{"MotionJpegWithXDimensions", "m=video 0 RTP/AVP 26\r\na=x-dimensions:1280,960\r\n", true,
                "JPEG", 1280, 960},
        SdpCase{"Mpeg4", "m=video 0 RTP/AVP 96\r\na=rtpmap:96 MP4V-ES/90000\r\na=fmtp:96 config=000001b0\r\n",
                true, "MPEG4", 0, 0},
        SdpCase{"AudioOnly", "m=audio 0 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n", false, "", 0, 0},
        SdpCase{"ParameterSetsOfAnotherPayloadIgnored",
                "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=fmtp:97 sprop-parameter-sets="
                "Z0LAH9oBQBbsBagICAoAAAMAAgAAAwApHjBlQA==\r\n",
                true, "H264", 0, 0},
        SdpCase{"BrokenParameterSet", H264("Z0LA"), true, "H264", 0, 0},
        SdpCase{"NotBase64", H264("!!!!"), true, "H264", 0, 0},
        SdpCase{"OnlyTheFirstVideoCounts",
                "m=video 0 RTP/AVP 26\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n", true, "JPEG", 0,
                0},
        SdpCase{"Empty", "", false, "", 0, 0}),
    [](const ::testing::TestParamInfo<SdpCase>& i) { return std::string(i.param.name); });

int main(int argc, char** argv) {
    RequirePrivateNetwork();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
