// The files recorders import, written from survey rows and read back by the parser of each format
// (tests/export-check, Python's yaml and csv): their structure, hostile names and the passwords.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <fstream>

#include "RecorderExport.h"
#include "SurveyCompare.h"
#include "TestSupport.h"

using namespace quorvi;
using namespace quorvi::test;

namespace {

SurveyRow Camera(const QString& name, int n, bool sub = true) {
    SurveyRow r;
    r.id = QStringLiteral("urn:uuid:cam-%1").arg(n);
    r.name = name;
    r.host = QStringLiteral("10.0.%1.%2").arg(n / 250).arg(n % 250 + 1);
    r.onvif = QStringLiteral("http://%1:%2/onvif/device_service").arg(r.host).arg(n % 2 ? 8000 : 80);
    r.done = true;
    r.mainStream = QStringLiteral("rtsp://admin:s3cret%2F@%1:554/main").arg(r.host);
    r.mainWidth = 1920;
    r.mainHeight = 1080;
    if (sub) {
        r.subStream = QStringLiteral("rtsp://admin:s3cret%2F@%1:554/sub").arg(r.host);
        r.subWidth = 640;
        r.subHeight = 360;
    }
    return r;
}

// Writes the export and has the format's own parser check it; "ok N" on success.
std::string Checked(const std::vector<SurveyRow>& rows, ExportFormat format, const char* name, bool passwords,
                    int cameras) {
    ExportOptions options;
    options.withPasswords = passwords;
    const QByteArray bytes = WriteExport(rows, format, options);
    const std::string path = "/tmp/quorvi-export-" + std::to_string(::getpid()) + "." + name;
    std::ofstream(path, std::ios::binary).write(bytes.constData(), bytes.size());
    const ProcessResult r = RunProcess({QUORVI_EXPORT_CHECK, name, path, std::to_string(cameras), "s3cret/",
                                        passwords ? "with" : "without"});
    std::remove(path.c_str());
    return r.out + r.err;
}

}  // namespace

TEST(RecorderExport, EachFormatAsItsRecorderReadsIt) {
    const std::vector<SurveyRow> rows{Camera("Front door", 1), Camera("Yard", 2, false), Camera("", 3)};
    for (const bool passwords : {false, true}) {
        SCOPED_TRACE(passwords ? "with passwords" : "without");
        EXPECT_EQ(Checked(rows, ExportFormat::Frigate, "frigate", passwords, 3), "ok 3\n");
        EXPECT_EQ(Checked(rows, ExportFormat::Go2rtc, "go2rtc", passwords, 3), "ok 3\n");
        EXPECT_EQ(Checked(rows, ExportFormat::Milestone, "milestone", passwords, 3), "ok 3\n");
    }
    const QByteArray milestone = WriteExport(rows, ExportFormat::Milestone);
    EXPECT_TRUE(milestone.contains("http://10.0.0.2:8000,admin,,Front door\r\n")) << milestone.toStdString();
    EXPECT_TRUE(milestone.contains("http://10.0.0.3,admin,,Yard\r\n")) << "port 80 is not written";
    const std::vector<QString> names = CameraNames(rows);
    EXPECT_EQ(names, (std::vector<QString>{"front_door", "yard", "10_0_0_4"}))
        << "a device without a name: its host";
    // A device whose streams were not read is left out.
    SurveyRow failed = Camera("Broken", 4);
    failed.mainStream.clear();
    EXPECT_EQ(Checked({rows[0], failed}, ExportFormat::Frigate, "frigate", false, 1), "ok 1\n");
}

TEST(RecorderExport, WhateverTheNetworkNamedNeverBecomesSyntax) {
    std::vector<SurveyRow> rows;
    const char* hostile[] = {"&anchor x",      "*alias",     "key: value",        "# comment",
                             "say \"hi\"",     "two\nlines", "{{ template }}",    "123",
                             "null",           "yes",        "=HYPERLINK(\"x\")", "- item",
                             "!!python/object"};
    int n = 0;
    for (const char* name : hostile) rows.push_back(Camera(QString::fromUtf8(name), ++n));
    for (int i = 0; i < 1000; ++i) rows.push_back(Camera(QStringLiteral("Cam"), ++n));
    const int cameras = static_cast<int>(rows.size());
    EXPECT_EQ(Checked(rows, ExportFormat::Frigate, "frigate", false, cameras),
              "ok " + std::to_string(cameras) + "\n");
    EXPECT_EQ(Checked(rows, ExportFormat::Go2rtc, "go2rtc", false, cameras),
              "ok " + std::to_string(cameras) + "\n");
    EXPECT_EQ(Checked(rows, ExportFormat::Milestone, "milestone", false, cameras),
              "ok " + std::to_string(cameras) + "\n");
    const std::vector<QString> names = CameraNames(rows);
    EXPECT_EQ(names[7], "123");
    EXPECT_EQ(names[8], "null");
    EXPECT_EQ(names[13], "cam");
    EXPECT_EQ(names[14], "cam_2");
    EXPECT_EQ(names.back(), "cam_1000");
}

// The survey list's JSON, as the command line and "Export list..." both write it: a name that would
// reorder or hide text on a terminal or in an editor is escaped, the same text for a JSON reader.
TEST(RecorderExport, TheSurveyJsonCarriesNoRawControl) {
    const QString hostile = QString::fromUtf8(
        "gpj.\u202eexe\xc2\x9b"
        "31m");
    const QByteArray json = WriteExport({Camera(hostile, 1)}, ExportFormat::Json);
    EXPECT_FALSE(json.contains("\xe2\x80\xae")) << "a raw right-to-left override";
    EXPECT_FALSE(json.contains("\xc2\x9b")) << "a raw C1 control";
    EXPECT_TRUE(json.contains("\\u202e")) << json.toStdString();
    EXPECT_TRUE(json.endsWith("]\n"));
    const QJsonDocument read = QJsonDocument::fromJson(json);
    EXPECT_EQ(read.array().at(0).toObject()["name"].toString(), hostile);
}

TEST(RecorderExport, NamesKeptFromBeforeStay) {
    std::vector<SurveyRow> rows{Camera("Gate", 1), Camera("Gate", 2)};
    ExportOptions options;
    options.names.insert(rows[1].id, QStringLiteral("gate"));  // the second one was "gate" last time
    EXPECT_EQ(CameraNames(rows, options), (std::vector<QString>{"gate_2", "gate"}));
}

// Two surveys of a site told apart device by device, as an installer reads them.
TEST(SurveyCompare, EachDeviceMatchedByIdThenMacThenSerial) {
    const auto row = [](const char* id, const char* onvif, const char* mac, const char* serial) {
        SurveyRow r;
        r.id = id;
        r.onvif = onvif;
        r.mac = mac;
        r.serial = serial;
        r.firmware = "1.0";
        r.mainStream = QStringLiteral("rtsp://admin:pw@%1:554/main").arg(QUrl(r.onvif).host());
        r.clockOffsetSeconds = "2";
        r.done = true;
        return r;
    };
    std::vector<SurveyRow> before{row("urn:a", "http://10.0.0.1/onvif", "aa:00", "S1"),
                                  row("urn:b", "http://10.0.0.2/onvif", "bb:00", "S2"),
                                  row("urn:c", "http://10.0.0.3/onvif", "cc:00", "S3"),
                                  row("urn:d", "http://10.0.0.4/onvif", "dd:00", "S4"),
                                  row("urn:e", "http://10.0.0.5/onvif", "ee:00", "S5")};
    std::vector<SurveyRow> now{row("urn:a", "http://10.0.0.1/onvif", "aa:00", "S1"),
                               row("urn:b", "http://10.0.0.9:8080/onvif", "bb:00", "S2"),
                               row("urn:c2", "http://10.0.0.3/onvif", "CC-00", "S3"),
                               row("urn:d2", "http://10.0.0.4/onvif", "", "S4"),
                               row("urn:f", "http://10.0.0.6/onvif", "ff:00", "S6")};
    now[1].firmware = "2.0";                 // moved, and upgraded on the way
    now[0].clockOffsetSeconds = "9";         // within the tolerance
    before[3].clockOffsetSeconds = "-3600";  // the clock was set meanwhile
    const std::vector<SiteChange> changes = CompareSurveys(before, now);
    ASSERT_EQ(changes.size(), 6u);
    EXPECT_EQ(changes[0].status, SiteChange::Same);
    EXPECT_EQ(changes[1].status, SiteChange::Moved);
    EXPECT_EQ(changes[1].from, "10.0.0.2:80");
    EXPECT_EQ(changes[1].to, "10.0.0.9:8080");
    EXPECT_EQ(changes[1].fields, QStringList{"firmware"}) << "its stream addresses moved with it";
    EXPECT_EQ(changes[2].status, SiteChange::Changed) << "a new id under the same MAC, however written";
    EXPECT_EQ(changes[2].fields, QStringList{"id"});
    EXPECT_EQ(changes[3].status, SiteChange::Changed) << "a new id under the same serial";
    EXPECT_EQ(changes[3].fields, (QStringList{"id", "clock"}));
    EXPECT_EQ(changes[4].status, SiteChange::New);
    EXPECT_EQ(changes[5].status, SiteChange::Missing);
    EXPECT_EQ(changes[5].id, "urn:e");
    // A survey's own JSON reads back as the rows it came from.
    const SurveyRow back = SurveyRowFromJson(SurveyJson(before[3]));
    EXPECT_EQ(back.clockOffsetSeconds, "-3600");
    EXPECT_EQ(back.mac, "dd:00");
    EXPECT_EQ(back.mainStream, before[3].mainStream);
}
