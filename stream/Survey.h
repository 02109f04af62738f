#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "StreamRequest.h"

namespace quorvi {

// One device of a site survey: who it is, as discovery found it, and what its streams turned out to be.
struct SurveyRow {
    QString id;
    QString name;
    QString hardware;
    QString location;
    QString host;
    QString onvif;  // the service address the streams are asked of
    QString from;   // the address the device's latest reply or Hello came from; empty when unknown
    // What the survey found.
    bool done = false;
    QString mainStream;
    QString subStream;
    QString mainEncoding;
    int mainWidth = 0;
    int mainHeight = 0;
    QString subEncoding;
    int subWidth = 0;
    int subHeight = 0;
    QString mainCheck;  // the check's state; empty when not checked
    QString subCheck;
    QString error;  // why the streams were not read, or do not play; empty when all is well
    // Its inventory, read in the same login (empty where the device gave nothing).
    QString manufacturer;
    QString model;
    QString firmware;
    QString serial;
    QString mac;
    QString clockOffsetSeconds;  // the device's clock minus ours; empty when it would not tell
    QString ntp;
    QString open;  // "yes" or "no" when surveyed without credentials (profiles given or refused); else empty
};

// The columns, in their order: id, name, hardware, location, host, onvif, mainStream, subStream,
// mainEncoding, mainWidth, mainHeight, subEncoding, subWidth, subHeight, mainCheck, subCheck, error,
// manufacturer, model, firmware, serial, mac, clockOffsetSeconds, ntp, open.
const QStringList& SurveyColumns();
// A row's fields in that order (numbers as decimal text, 0 as empty).
QStringList SurveyFields(const SurveyRow& row);

// The library call the survey makes: the stream addresses and the device's inventory in one login.
GetStreamUriFunction LibraryGetInventory();

// The "get" request with the device's inventory read in the same login (one library call).
StreamAddresses RequestStreamsAndInventory(const QString& uri, const QString& user, const QString& password,
                                           DocumentInventory& inventory,
                                           const GetStreamUriFunction& getInventory = LibraryGetInventory());

// Reads one device's streams and inventory (one library call: one attempt with the credentials, never
// another) and,
// with `check`, asks each of its two streams whether it plays. Nobody chose the host a discovered device
// names: a service address on another host than the one the device answered from is not asked at all
// (the row says so). Safe on any thread.
void SurveyDevice(SurveyRow& row, const QString& user, const QString& password, bool check,
                  const GetStreamUriFunction& getStreamUri = LibraryGetInventory(),
                  const CheckStreamsFunction& checkStreams = LibraryCheckStreams());

// Surveys devices as they are added, at most `jobs` at a time (each device still on at most 4 connections),
// each on a thread of the pool's own. `finished(order, row)` is called (on a pool thread, one call at a time)
// as each is done, `order` counting the rows in the order they were added. Once `stop` is set no further
// device is begun. The destructor waits for the devices under way.
class SurveyPool {
public:
    using Finished = std::function<void(std::size_t order, const SurveyRow& row)>;
    SurveyPool(int jobs, QString user, QString password, bool check, const std::atomic<bool>& stop,
               Finished finished, GetStreamUriFunction getStreamUri = LibraryGetInventory(),
               CheckStreamsFunction checkStreams = LibraryCheckStreams());
    ~SurveyPool();
    SurveyPool(const SurveyPool&) = delete;
    SurveyPool& operator=(const SurveyPool&) = delete;

    void Add(SurveyRow row);
    // No more rows: returns once every row added has been surveyed (or, after a stop, those under way).
    void Wait();

private:
    void Work();

    const QString m_user;
    const QString m_password;
    const bool m_check;
    const std::atomic<bool>& m_stop;
    const Finished m_finished;
    const GetStreamUriFunction m_getStreamUri;
    const CheckStreamsFunction m_checkStreams;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::pair<std::size_t, SurveyRow>> m_waiting;
    std::size_t m_added = 0;
    bool m_closed = false;
    std::mutex m_reporting;
    std::vector<std::thread> m_threads;
};

// Surveys every row, at most `jobs` at a time (each device still on at most 4 connections), each on a
// thread of its own, and returns when all have ended. `finished(i)` is called (on a survey thread, one call
// at a time) as row i is done. Once `stop` is set no further device is begun.
void RunSurvey(std::vector<SurveyRow>& rows, int jobs, const QString& user, const QString& password,
               bool check, const std::atomic<bool>& stop, const std::function<void(std::size_t)>& finished,
               const GetStreamUriFunction& getStreamUri = LibraryGetInventory(),
               const CheckStreamsFunction& checkStreams = LibraryCheckStreams());

// What the survey found for a device (`read`), known as the list knows it now (`listed`): its name,
// hardware, location and host from the list, the rest as read.
SurveyRow KnownAsListed(SurveyRow read, const SurveyRow& listed);

// True when the row's streams were read and, when checked, both shown streams play.
bool SurveyRowIsWell(const SurveyRow& row);

// RFC 4180: a header line, then a line per row (CRLF); fields with a comma, quote or line break quoted,
// quotes doubled, and a field with a semicolon quoted too (the separator in some locales). A field whose
// first character other than white space is = + - @ | or a full-width form of them, or that begins with
// tab or CR, gets a ' in front, so a spreadsheet shows it as text and never runs it as a formula:
// everything in it came from the network.
QString SurveyCsv(const std::vector<SurveyRow>& rows);
QString CsvField(const QString& text);

// A row as JSON: the columns as keys, numbers as numbers.
QJsonObject SurveyJson(const SurveyRow& row);

}  // namespace quorvi
