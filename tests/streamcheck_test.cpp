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
#include "Url.h"
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
    FakeDevice basic({"--rtsp-port", std::to_string(kRtspPort + 1), "--rtsp-auth", "basic"});
    FakeDevice right({"--rtsp-port", std::to_string(kRtspPort + 2)});
    FakeDevice found454({"--rtsp-port", std::to_string(kRtspPort + 3), "--rtsp-unknown-status", "454"});
    ASSERT_TRUE(basic.Ready() && right.Ready() && found454.Ready());
    SilentListener silent;
    const int closed = ClosedPort();
    const auto start = Clock::now();
    const auto checks = CheckStreams(
        {Stream(kRtspPort + 3, "/cam0/nothing"), Stream(kRtspPort + 2, "/cam0/nothing"),
         Stream(kRtspPort + 1, "/cam0/Profile_0"), Stream(closed, "/x"), Stream(silent.port, "/x"),
         "rtsps://127.0.0.1:322/x", "rtsp://:554/x", Stream(kRtspPort + 2, "/cam0/Profile_0", "localhost")},
        kDevice, "admin", "40718");
    const auto took = Clock::now() - start;
    ASSERT_EQ(checks.size(), 8u);
    EXPECT_EQ(checks[0].state, StreamState::NotFound) << "RTSP 454 for an unknown path: " << checks[0].detail;
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
    EXPECT_EQ(right.Count("uri=rtsp://localhost"), 1) << right.Log();
    EXPECT_EQ(right.Count("uri=rtsp://localhost:" + std::to_string(kRtspPort + 2) +
                          "/cam0/Profile_0 authorization=Digest"),
              0)
        << "credentials to the device's own host only\n"
        << right.Log();
}

// Cameras lock an account after a few failed logins, and an RTSP server often keeps a user list of its own:
// a device that refuses the password for one stream is not sent it for any other in the same check.
TEST(StreamCheck, OneRefusedLoginPerDeviceHoweverManyStreams) {
    FakeDevice device(
        {"--rtsp-port", std::to_string(kRtspPort), "--profiles", "16", "--rtsp-password", "rtsp"});
    ASSERT_TRUE(device.Ready());
    std::vector<std::string> streams;
    for (int i = 0; i < 16; ++i) streams.push_back(Stream(kRtspPort, "/cam0/Profile_" + std::to_string(i)));
    const auto checks = CheckStreams(streams, kDevice, "admin", "40718");
    int refused = 0, notTried = 0;
    for (const StreamCheck& c : checks) {
        refused += c.state == StreamState::CredentialsRefused;
        notTried += c.state == StreamState::NotTried;
        if (c.state == StreamState::NotTried) {
            EXPECT_NE(c.detail.find("refused the credentials"), std::string::npos);
        }
    }
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(notTried, 15);
    EXPECT_EQ(checks[0].state, StreamState::CredentialsRefused) << "the first stream is the one tried";
    EXPECT_EQ(device.Count("authorization=Digest"), 1) << "one failed login in all\n" << device.Log();

    // The right password still reaches every stream, one answer each.
    FakeDevice good({"--rtsp-port", std::to_string(kRtspPort + 1), "--profiles", "16"});
    ASSERT_TRUE(good.Ready());
    for (std::string& s : streams) s = Stream(kRtspPort + 1, s.substr(s.find("/cam0")));
    for (const StreamCheck& c : CheckStreams(streams, kDevice, "admin", "40718"))
        EXPECT_EQ(c.state, StreamState::Plays) << c.detail;
    EXPECT_EQ(good.Count("authorization=Digest"), 16) << good.Log();
}

// Small cameras serve four RTSP connections at most and turn a fifth away unanswered.
TEST(StreamCheck, ACameraWithFourRtspSlotsHasEveryStreamChecked) {
    FakeDevice device(
        {"--rtsp-port", std::to_string(kRtspPort), "--profiles", "7", "--rtsp-max-connections", "4"});
    ASSERT_TRUE(device.Ready());
    std::vector<std::string> streams;
    for (int i = 0; i < 7; ++i) streams.push_back(Stream(kRtspPort, "/cam0/Profile_" + std::to_string(i)));
    for (const StreamCheck& c : CheckStreams(streams, kDevice, "admin", "40718"))
        EXPECT_EQ(c.state, StreamState::Plays) << c.detail << "\n" << device.Log();
}

TEST(StreamCheck, WhatTheServerOffersDecidesWhatIsSent) {
    // Basic and Digest together: Digest is answered, the password never goes in clear.
    FakeDevice both({"--rtsp-port", std::to_string(kRtspPort), "--rtsp-auth", "both"});
    // A user name without a password is no login: nothing is answered, and the state says why.
    FakeDevice device({"--rtsp-port", std::to_string(kRtspPort + 1)});
    ASSERT_TRUE(both.Ready() && device.Ready());
    const auto offered = CheckStreams({Stream(kRtspPort, "/cam0/Profile_0")}, kDevice, "admin", "40718");
    EXPECT_EQ(offered[0].state, StreamState::Plays) << offered[0].detail;
    EXPECT_EQ(both.Count("authorization=Basic"), 0) << both.Log();
    const auto userOnly = CheckStreams({Stream(kRtspPort + 1, "/cam0/Profile_0")}, kDevice, "admin", "");
    EXPECT_EQ(userOnly[0].state, StreamState::CredentialsRefused);
    EXPECT_NE(userOnly[0].detail.find("none were given"), std::string::npos) << userOnly[0].detail;
    EXPECT_EQ(userOnly[0].requests, 1);
    EXPECT_EQ(device.Count("authorization=Digest"), 0) << device.Log();
}

// A stream on 127.0.0.1 beside a device at 127.0.0.12: another host, though its address begins the same.
TEST(StreamCheck, AHostThatBeginsLikeTheDevicesIsAnotherHost) {
    FakeDevice server({"--rtsp-port", std::to_string(kRtspPort)});
    ASSERT_TRUE(server.Ready());
    const auto checks = CheckStreams({Stream(kRtspPort, "/cam0/Profile_0")},
                                     "http://127.0.0.12:18080/onvif/device_service", "admin", "40718");
    EXPECT_EQ(checks[0].state, StreamState::OtherHost) << checks[0].detail;
    EXPECT_EQ(server.Count("authorization=Digest"), 0) << server.Log();
}

TEST(StreamCheck, AnH265StreamCroppedFrom1088Rows) {
    FakeDevice device({"--rtsp-port", std::to_string(kRtspPort), "--main-encoding", "H265"});
    ASSERT_TRUE(device.Ready());
    const auto checks = CheckStreams({Stream(kRtspPort, "/cam0/Profile_0")}, kDevice, "admin", "40718");
    EXPECT_EQ(checks[0].state, StreamState::Plays) << checks[0].detail;
    EXPECT_EQ(checks[0].encoding, "H265");
    EXPECT_EQ(checks[0].width, 1920);
    EXPECT_EQ(checks[0].height, 1080);
}

// Where a password may go is decided by this rule.
TEST(StreamCheck, TheSameHostRule) {
    const struct {
        const char* a;
        const char* b;
        bool same;
    } cases[] = {
        {"rtsp://10.0.0.12/x", "http://10.0.0.12/onvif", true},
        {"rtsp://10.0.0.1/x", "http://10.0.0.12/onvif", false},
        {"rtsp://10.0.0.12/x", "http://10.0.0.1/onvif", false},
        {"rtsp://10.0.0.12:554/x", "http://10.0.0.12:8080/onvif", true},
        {"rtsp://user:pw@10.0.0.12/x", "http://10.0.0.12/onvif", true},
        {"rtsp://10.0.0.12@10.0.0.99/x", "http://10.0.0.12/onvif", false},
        {"rtsp://CAMERA.local/x", "http://camera.LOCAL/onvif", true},
        {"rtsp://camera.local/x", "http://camera.local.evil/onvif", false},
        {"rtsp://camera/x", "http://camera2/onvif", false},
        {"rtsp://[2001:db8::5]/x", "http://[2001:DB8:0:0::5]/onvif", true},
        {"rtsp://[2001:db8::5]/x", "http://[2001:db8::50]/onvif", false},
        {"rtsp://[::ffff:10.0.0.12]/x", "http://10.0.0.12/onvif", true},
        {"rtsp://[fe80::1%25eth0]/x", "http://[fe80::1%25eth1]/onvif", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " ~ " + c.b);
        const auto a = onvifc::ParseUrl(c.a);
        const auto b = onvifc::ParseUrl(c.b);
        ASSERT_TRUE(a && b);
        std::string hostA = a->host, hostB = b->host;
        EXPECT_EQ(onvifc::SameHost(hostA, hostB), c.same);
        EXPECT_EQ(onvifc::SameHost(hostB, hostA), c.same);
    }
    EXPECT_FALSE(onvifc::SameHost("", ""));
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
    const auto wrong =
        CheckStreams({Stream(18600, "/main"), Stream(18600, "/sub")}, kDevice, "admin", "guess");
    EXPECT_EQ(wrong[0].state, StreamState::CredentialsRefused) << wrong[0].detail;
    EXPECT_EQ(wrong[1].state, StreamState::NotTried) << wrong[1].detail;
    EXPECT_EQ(logins("/main") + logins("/sub"), 3)
        << "a refused password is tried once, and not for the other stream\n"
        << server.Output();
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
    EXPECT_STREQ(Onvif_StreamStateName(-1), "not-checked");
    const std::pair<int, const char*> names[] = {{ONVIF_STREAM_NOT_CHECKED, "not-checked"},
                                                 {ONVIF_STREAM_PLAYS, "plays"},
                                                 {ONVIF_STREAM_CREDENTIALS_REFUSED, "credentials-refused"},
                                                 {ONVIF_STREAM_BASIC_ONLY, "basic-only"},
                                                 {ONVIF_STREAM_OTHER_HOST, "other-host"},
                                                 {ONVIF_STREAM_NOT_FOUND, "not-found"},
                                                 {ONVIF_STREAM_NO_SERVER, "no-server"},
                                                 {ONVIF_STREAM_NO_ANSWER, "no-answer"},
                                                 {ONVIF_STREAM_BAD_ANSWER, "bad-answer"},
                                                 {ONVIF_STREAM_NOT_TRIED, "not-tried"}};
    for (const auto& [state, name] : names) EXPECT_STREQ(Onvif_StreamStateName(state), name) << state;
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
