// Still pictures: Onvif_GetSnapshot against fakecam's web server in its manners, the C interface from C,
// and quorvi-cli snapshot. Runs in the private test network.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "TestSupport.h"
#include "onvifc.h"

using namespace quorvi::test;

namespace {

struct Picture {
    int code = 0;
    std::string text;  // Onvif_ErrorText on failure
    QByteArray jpeg;
};

Picture GetSnapshot(const std::string& uri, const std::string& user = "admin",
                    const std::string& password = "40718", int size = 4 << 20) {
    std::vector<unsigned char> buffer(static_cast<std::size_t>(size) + 16, 0x5a);
    Picture p;
    p.code = Onvif_GetSnapshot(uri.c_str(), user.c_str(), password.c_str(), buffer.data(), size);
    for (std::size_t i = static_cast<std::size_t>(size); i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], 0x5a) << "written past size at " << i;
    }
    if (p.code > 0) p.jpeg = QByteArray(reinterpret_cast<const char*>(buffer.data()), p.code);
    if (p.code < 0) p.text = Onvif_ErrorText(p.code);
    return p;
}

QSize DecodedSize(const QByteArray& jpeg) {
    QByteArray bytes = jpeg;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    QImage image;
    if (!reader.read(&image)) return {};
    return image.size();
}

// The fakecam log's lines for picture requests.
std::vector<std::string> PictureRequests(const FakeDevice& device) {
    std::vector<std::string> out;
    for (const std::string& line : device.Requests()) {
        if (line.find("op=snapshot") != std::string::npos) out.push_back(line);
    }
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(Snapshot, ThePictureIsTheFirstVideoProfilesAtTheSizeTheDeviceDrew) {
    // Cameras say image/jpeg, application/octet-stream or text/plain; Media 1 or 2; an audio profile
    // first must not be the one asked for.
    const std::vector<std::vector<std::string>> manners = {
        {},
        {"--media", "2"},
        {"--audio-first"},
        {"--snapshot-content-type", "octet-stream"},
        {"--snapshot-content-type", "text-plain", "--video-sources", "2"},
    };
    for (const auto& manner : manners) {
        std::string name;
        for (const auto& m : manner) name += m + " ";
        SCOPED_TRACE(name);
        std::vector<std::string> args{"--auth", "both"};
        args.insert(args.end(), manner.begin(), manner.end());
        FakeDevice device(args);
        ASSERT_TRUE(device.Ready());
        const Picture first = GetSnapshot(device.Url(0));
        ASSERT_GT(first.code, 0) << first.text << "\n" << device.Log();
        EXPECT_EQ(DecodedSize(first.jpeg), QSize(1920, 1080));
        // A challenge from the web server, answered once by Digest.
        const auto requests = PictureRequests(device);
        ASSERT_EQ(requests.size(), 2u) << device.Log();
        EXPECT_NE(requests[0].find("authorization=none"), std::string::npos) << requests[0];
        EXPECT_NE(requests[0].find("status=401"), std::string::npos) << requests[0];
        EXPECT_NE(requests[1].find("authorization=Digest"), std::string::npos) << requests[1];
        EXPECT_NE(requests[1].find("status=200"), std::string::npos) << requests[1];
        const Picture second = GetSnapshot(device.Url(1));
        ASSERT_GT(second.code, 0) << second.text;
        EXPECT_NE(first.jpeg, second.jpeg) << "two devices, one picture";
    }
}

TEST(Snapshot, BasicOnlyGetsNoPasswordAndOneAttempt) {
    FakeDevice device({"--auth", "both", "--snapshot-basic-only"});
    ASSERT_TRUE(device.Ready());
    const Picture p = GetSnapshot(device.Url());
    EXPECT_EQ(p.code, ONVIF_ERR_NOT_AUTHORIZED) << p.text;
    EXPECT_NE(p.text.find("HTTP Basic only"), std::string::npos) << p.text;
    const auto requests = PictureRequests(device);
    ASSERT_EQ(requests.size(), 1u) << device.Log();
    EXPECT_NE(requests[0].find("authorization=none"), std::string::npos) << requests[0];
}

TEST(Snapshot, AnHttpsDevicesPictureComesOverHttpsOnly) {
    FakeDevice both({"--tls", "--auth", "both", "--plain-port", "19445"});
    ASSERT_TRUE(both.Ready());
    const Picture p = GetSnapshot(both.Url());
    ASSERT_GT(p.code, 0) << p.text << "\n" << both.Log();
    EXPECT_EQ(both.Count("port=19445"), 0) << "a request went in clear:\n" << both.Log();
    EXPECT_EQ(PictureRequests(both).size(), 2u) << both.Log();
}

TEST(Snapshot, FailuresSayWhatCame) {
    struct Case {
        std::vector<std::string> manner;
        int code;
        std::string words;
    };
    const Case cases[] = {
        {{"--snapshot-body", "huge"}, ONVIF_ERR_UNEXPECTED_REPLY, "larger than 4 MiB"},
        {{"--snapshot-body", "html"}, ONVIF_ERR_UNEXPECTED_REPLY, "not a JPEG picture"},
        {{"--no-snapshot"}, ONVIF_ERR_NO_SNAPSHOT, "does not serve snapshots"},
        {{"--snapshot-on-other-host", "empty"}, ONVIF_ERR_NO_SNAPSHOT, "empty snapshot address"},
        {{"--snapshot-body", "cut-short"}, ONVIF_ERR_REPLY_CUT_SHORT, "the picture is cut short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.manner.front() + " " + (c.manner.size() > 1 ? c.manner[1] : ""));
        std::vector<std::string> args{"--auth", "digest"};
        args.insert(args.end(), c.manner.begin(), c.manner.end());
        FakeDevice device(args);
        ASSERT_TRUE(device.Ready());
        const Picture p = GetSnapshot(device.Url());
        EXPECT_EQ(p.code, c.code) << p.text;
        EXPECT_NE(p.text.find(c.words), std::string::npos) << p.text;
    }
    // A wrong password: refused, after one answer to the web server's challenge.
    FakeDevice open({"--auth", "digest", "--open-services"});
    ASSERT_TRUE(open.Ready());
    const Picture refused = GetSnapshot(open.Url(), "admin", "wrong");
    EXPECT_EQ(refused.code, ONVIF_ERR_NOT_AUTHORIZED) << refused.text;

    // A picture larger than the caller's buffer: said so, nothing written past it.
    FakeDevice fine({"--auth", "digest"});
    ASSERT_TRUE(fine.Ready());
    const Picture small = GetSnapshot(fine.Url(), "admin", "40718", 1000);
    EXPECT_EQ(small.code, ONVIF_ERR_RESULT_TOO_LARGE) << small.text;
    EXPECT_NE(small.text.find("larger than the buffer"), std::string::npos) << small.text;
    EXPECT_EQ(Onvif_GetSnapshot(fine.Url().c_str(), "admin", "40718", nullptr, 10),
              ONVIF_ERR_INVALID_ARGUMENT);
    // A buffer exactly the picture's size holds it.
    const Picture whole = GetSnapshot(fine.Url());
    ASSERT_GT(whole.code, 0) << whole.text;
    const Picture exact = GetSnapshot(fine.Url(), "admin", "40718", whole.code);
    EXPECT_EQ(exact.code, whole.code) << exact.text;
    EXPECT_EQ(exact.jpeg, whole.jpeg);
    // Padding after the end marker is no cut.
    FakeDevice padded({"--auth", "digest", "--snapshot-body", "padded"});
    ASSERT_TRUE(padded.Ready());
    EXPECT_GT(GetSnapshot(padded.Url()).code, 0);
}

TEST(Snapshot, APictureOnAnotherHostIsAskedOfTheDevicesHost) {
    const char* second = std::getenv("QUORVI_NETNS_SECOND");
    if (!second || std::string(second) != "1") GTEST_SKIP() << "needs the second test address";
    FakeDevice elsewhere({"--auth", "digest"}, "198.18.0.2");
    FakeDevice device(
        {"--auth", "digest", "--snapshot-on-other-host", "198.18.0.2:" + std::to_string(elsewhere.port)},
        "198.18.0.1");
    ASSERT_TRUE(elsewhere.Ready() && device.Ready());
    const Picture p = GetSnapshot(device.Url());
    ASSERT_GT(p.code, 0) << p.text << "\n" << device.Log();
    EXPECT_EQ(DecodedSize(p.jpeg), QSize(1920, 1080));
    EXPECT_EQ(elsewhere.Count("request "), 0) << elsewhere.Log();
    EXPECT_EQ(elsewhere.Count(" open"), 0) << elsewhere.Log();
}

TEST(Snapshot, TheCInterfaceFromC) {
    FakeDevice device({"--auth", "digest"});
    ASSERT_TRUE(device.Ready());
    const ProcessResult r = RunProcess({QUORVI_SNAPSHOT_C, device.Url(), "admin", "40718"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("jpeg "), std::string::npos) << r.out;
}

TEST(SnapshotCli, WritesThePictureWholeOrNotAtAll) {
    FakeDevice device({"--auth", "digest"});
    FakeDevice none({"--auth", "digest", "--no-snapshot"});
    ASSERT_TRUE(device.Ready() && none.Ready());
    const std::string folder = "/tmp/quorvi-snapshot-" + std::to_string(::getpid());
    std::filesystem::create_directories(folder);
    const std::string file = folder + "/camera.jpg";

    ProcessResult r = RunProcess(
        {CliPath(), "snapshot", device.Url(), "--user", "admin", "--password", "40718", "-o", file});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string written = ReadFile(file);
    EXPECT_EQ(DecodedSize(QByteArray::fromStdString(written)), QSize(1920, 1080));

    // A failure leaves the file as it was, and no half-written one beside it.
    r = RunProcess({CliPath(), "snapshot", none.Url(), "--user", "admin", "--password", "40718", "-o", file});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("does not serve snapshots"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(file), written);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++entries;
    EXPECT_EQ(entries, 1) << "a temporary file was left behind";

    // Half a picture is no picture: nothing is written.
    FakeDevice cut({"--auth", "digest", "--snapshot-body", "cut-short"});
    ASSERT_TRUE(cut.Ready());
    r = RunProcess({CliPath(), "snapshot", cut.Url(), "--user", "admin", "--password", "40718", "-o", file});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the picture is cut short"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(file), written);

    // --check says what size the picture declares; a bomb's bytes are still written as they came.
    r = RunProcess({CliPath(), "snapshot", device.Url(), "--user", "admin", "--password", "40718", "--check",
                    "-o", file});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("the picture declares 1920\u00d71080"), std::string::npos) << r.err;
    FakeDevice bomb({"--auth", "digest", "--snapshot-body", "bomb"});
    ASSERT_TRUE(bomb.Ready());
    const std::string bombFile = folder + "/bomb.jpg";
    r = RunProcess({CliPath(), "snapshot", bomb.Url(), "--user", "admin", "--password", "40718", "--check",
                    "-o", bombFile});
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("the picture declares 30000\u00d730000, larger than any camera's"),
              std::string::npos)
        << r.err;
    EXPECT_GT(ReadFile(bombFile).size(), 100u);
    EXPECT_LT(ReadFile(bombFile).size(), 2000u);
    std::filesystem::remove(bombFile);

    // A folder that cannot be written to: exit 1, with the reason.
    r = RunProcess({CliPath(), "snapshot", device.Url(), "--user", "admin", "--password", "40718", "-o",
                    folder + "/no/such/folder/x.jpg"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;

    // Standard output: the picture's bytes and nothing else.
    r = RunProcess(
        {CliPath(), "snapshot", device.Url(), "--user", "admin", "--password", "40718", "-o", "-"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(DecodedSize(QByteArray::fromStdString(r.out)), QSize(1920, 1080));

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"snapshot", device.Url()},
                                               {"snapshot", "-o", file},
                                               {"snapshot", device.Url(), "extra", "-o", file}}) {
        std::vector<std::string> argv{CliPath()};
        argv.insert(argv.end(), bad.begin(), bad.end());
        EXPECT_EQ(RunProcess(argv).exitCode, 2) << bad.back();
    }
    std::filesystem::remove_all(folder);
}
