// The device list: merging sightings into rows, the clock column, and the worker-to-owner hand-off.
#include "DeviceList.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTimer>
#include <cstdlib>
#include <memory>
#include <thread>

#include "DiscoveryHost.h"
#include "TestSupport.h"

using namespace quorvi;

namespace {

QStringList Ids(const DeviceListModel& m) {
    QStringList ids;
    for (int r = 0; r < m.rowCount(); ++r) ids << m.Cell(r, kColumnId);
    return ids;
}

}  // namespace

TEST(DeviceRows, FirstSightingMakesAFullRow) {
    DeviceListModel m;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    AddDeviceRow(m, Sighting{"urn:a", "http://a/onvif", {}, {}}, 9 * 3600 + 5 * 60 + 7);
    ::unsetenv("TZ");
    ::tzset();
    ASSERT_EQ(m.rowCount(), 1);
    EXPECT_EQ(m.Cell(0, kColumnId), "urn:a");
    EXPECT_EQ(m.Cell(0, kColumnOnvif), "http://a/onvif");
    EXPECT_EQ(m.Cell(0, kColumnTimeOnline), "09:05:07") << "the local time it was seen at";
    EXPECT_EQ(m.headerData(0, Qt::Horizontal).toString(), "id");
    EXPECT_EQ(m.headerData(1, Qt::Horizontal).toString(), "time online");
    EXPECT_EQ(m.headerData(2, Qt::Horizontal).toString(), "onvif");
}

TEST(DeviceRows, RepeatedSightingRefreshesInPlaceAndNewDevicesGoOnTop) {
    DeviceListModel m;
    QAbstractItemModelTester tester(&m, QAbstractItemModelTester::FailureReportingMode::Fatal);
    AddDeviceRow(m, "urn:a", "http://a/1");
    AddDeviceRow(m, "urn:b", "http://b/1");
    AddDeviceRow(m, "urn:c", "http://c/1");
    EXPECT_EQ(Ids(m), (QStringList{"urn:c", "urn:b", "urn:a"}));
    m.Merge("urn:b", "http://b/1", "stale");
    AddDeviceRow(m, "urn:b", "http://b/2");
    EXPECT_EQ(Ids(m), (QStringList{"urn:c", "urn:b", "urn:a"}));
    EXPECT_EQ(m.Cell(1, kColumnOnvif), "http://b/2") << "the newer service address wins";
    EXPECT_NE(m.Cell(1, kColumnTimeOnline), "stale") << "time online is rewritten";
    AddDeviceRow(m, "urn:d", "");
    EXPECT_EQ(Ids(m), (QStringList{"urn:d", "urn:c", "urn:b", "urn:a"}));
    EXPECT_EQ(m.Cell(0, kColumnOnvif), "");
}

TEST(DeviceRows, IdsCompareExactly) {
    DeviceListModel m;
    AddDeviceRow(m, "urn:A", "x");
    AddDeviceRow(m, "urn:a", "x");
    AddDeviceRow(m, "urn:a ", "x");
    AddDeviceRow(m, "", "first");
    AddDeviceRow(m, "", "second");
    EXPECT_EQ(m.rowCount(), 4);
    EXPECT_EQ(m.Cell(0, kColumnId), "");
    EXPECT_EQ(m.Cell(0, kColumnOnvif), "second") << "an empty id is a device like any other";

    const std::string longId(300, 'x');
    AddDeviceRow(m, longId, "long");
    AddDeviceRow(m, longId + "y", "longer");
    AddDeviceRow(m, longId, "long again");
    EXPECT_EQ(m.rowCount(), 6);
    EXPECT_EQ(m.Cell(1, kColumnId).size(), 300);
    EXPECT_EQ(m.Cell(1, kColumnOnvif), "long again");
}

TEST(DeviceRows, InvalidBytesBecomeReplacementCharacters) {
    DeviceListModel m;
    AddDeviceRow(m, std::string("urn:\xff\xfe", 6), "http://\xc3\xa9");
    EXPECT_EQ(m.Cell(0, kColumnId), QString("urn:") + QChar(0xFFFD) + QChar(0xFFFD));
    EXPECT_EQ(m.Cell(0, kColumnOnvif), QString("http://") + QChar(0xE9));
}

TEST(DeviceRows, SignalsMatchTheRowsAViewSees) {
    DeviceListModel m;
    QAbstractItemModelTester tester(&m, QAbstractItemModelTester::FailureReportingMode::Fatal);
    for (int i = 0; i < 300; ++i) {
        AddDeviceRow(m, "urn:" + std::to_string(i * 7 % 101), "http://h/" + std::to_string(i));
    }
    ASSERT_EQ(m.rowCount(), 101);
    EXPECT_EQ(m.Cell(0, kColumnId), "urn:94") << "the device first seen last (i = 100) is on top";
    EXPECT_EQ(m.Cell(100, kColumnId), "urn:0") << "the first device seen is at the bottom";
}

TEST(DeviceRows, AFullListReplacesTheRowSeenLongestAgo) {
    DeviceListModel m;
    const int full = 100000;  // as the README promises
    for (int i = 0; i < full; ++i) AddDeviceRow(m, "urn:" + std::to_string(i), "s");
    ASSERT_EQ(m.rowCount(), full);
    // Every change a view would see is checked as it happens while the list is full: a refresh, evictions.
    auto tester =
        std::make_unique<QAbstractItemModelTester>(&m, QAbstractItemModelTester::FailureReportingMode::Fatal);
    AddDeviceRow(m, "urn:0", "seen again");  // the oldest row is seen again, so urn:1 is now the stalest
    QStringList removed;
    QObject::connect(&m, &QAbstractItemModel::rowsAboutToBeRemoved,
                     [&](const QModelIndex&, int first, int last) {
                         for (int r = first; r <= last; ++r) removed << m.Cell(r, kColumnId);
                     });
    AddDeviceRow(m, "urn:new", "n");
    EXPECT_EQ(m.rowCount(), full);
    EXPECT_EQ(removed, QStringList{"urn:1"});
    EXPECT_EQ(m.Cell(0, kColumnId), "urn:new");
    EXPECT_EQ(m.Cell(full - 1, kColumnId), "urn:0") << "refreshed in place, not moved";
    EXPECT_EQ(m.Cell(full - 1, kColumnOnvif), "seen again");
    EXPECT_EQ(m.Cell(full - 2, kColumnId), "urn:2");
    for (int i = 0; i < 3; ++i) AddDeviceRow(m, "urn:more" + std::to_string(i), "m");
    tester.reset();  // it looks the whole list over on each change: too slow for the flood below

    // A long flood of new devices: the list keeps the newest, in order, and never grows.
    for (int i = 0; i < 2 * full; ++i) AddDeviceRow(m, "flood:" + std::to_string(i), "f");
    ASSERT_EQ(m.rowCount(), full);
    for (int r = 0; r < full; r += 997) {
        EXPECT_EQ(m.Cell(r, kColumnId), "flood:" + QString::number(2 * full - 1 - r)) << r;
    }
    AddDeviceRow(m, "flood:" + std::to_string(2 * full - 5), "again");
    EXPECT_EQ(m.Cell(4, kColumnOnvif), "again")
        << "still found through the index after the list was compacted";
}

TEST(DeviceRows, ABatchMergesInAFewModelOperations) {
    DeviceListModel m;
    const int full = DeviceListModel::kMaxRows;
    for (int i = 0; i < full; ++i) AddDeviceRow(m, "urn:" + std::to_string(i), "s");
    QAbstractItemModelTester tester(&m, QAbstractItemModelTester::FailureReportingMode::Fatal);
    std::vector<std::pair<int, int>> removed, inserted, changed;
    QObject::connect(&m, &QAbstractItemModel::rowsRemoved,
                     [&](const QModelIndex&, int first, int last) { removed.emplace_back(first, last); });
    QObject::connect(&m, &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int last) { inserted.emplace_back(first, last); });
    QObject::connect(&m, &QAbstractItemModel::dataChanged, [&](const QModelIndex& a, const QModelIndex& b) {
        changed.emplace_back(a.row(), b.row());
    });
    // The two stalest rows answer again in the same batch as three new devices (one of them twice).
    m.MergeBatch({{"urn:0", "again0", "t", {}, 5, {}},
                  {"new:a", "a1", "t", {}, 5, {}},
                  {"new:b", "b", "t", {}, 5, {}},
                  {"new:a", "a2", "t", {}, 6, {}},
                  {"urn:1", "again1", "t", {}, 6, {}},
                  {"new:c", "c", "t", {}, 6, {}}});
    EXPECT_EQ(m.rowCount(), full);
    EXPECT_EQ(removed, (std::vector<std::pair<int, int>>{{full - 5, full - 3}}))
        << "urn:2, urn:3 and urn:4, neighbours at the bottom, go in one removal";
    EXPECT_EQ(inserted, (std::vector<std::pair<int, int>>{{0, 2}}));
    EXPECT_EQ(changed, (std::vector<std::pair<int, int>>{{full - 2, full - 1}}));
    EXPECT_EQ(Ids(m).mid(0, 3), (QStringList{"new:c", "new:b", "new:a"})) << "the last one first seen on top";
    EXPECT_EQ(m.Cell(2, kColumnOnvif), "a2") << "a device's last sighting in the batch counts";
    EXPECT_EQ(m.Cell(full - 1, kColumnId), "urn:0") << "seen again: kept in place, not evicted";
    EXPECT_EQ(m.Cell(full - 1, kColumnOnvif), "again0");
    EXPECT_EQ(m.Cell(full - 2, kColumnId), "urn:1");
    EXPECT_EQ(m.Cell(full - 3, kColumnId), "urn:5");
}

TEST(DeviceRows, EachRowKnowsWhoItsDeviceIs) {
    DeviceListModel m;
    QAbstractItemModelTester tester(&m, QAbstractItemModelTester::FailureReportingMode::Fatal);
    DeviceIdentity who;
    who.name = "Lobby";
    who.hardware = "IPC-3";
    who.xaddrs = {"http://10.0.0.5:8080/onvif/device_service", "http://[fe80::1]/onvif/device_service"};
    AddDeviceRow(m, Sighting{"urn:a", "http://10.0.0.5:8080/onvif/device_service", who, {}});
    const auto row = m.RowIdentity(0);
    EXPECT_EQ(row.name, "Lobby");
    EXPECT_EQ(row.hardware, "IPC-3");
    EXPECT_EQ(row.location, "");
    EXPECT_EQ(row.xaddrs.size(), 2);
    EXPECT_EQ(row.host, "10.0.0.5");
    EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$")
                    .match(row.lastSeen)
                    .hasMatch())
        << row.lastSeen.toStdString();
    const QString tip = m.data(m.index(0, 0), Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains("name: Lobby") && tip.contains("hardware: IPC-3") &&
                tip.contains("host: 10.0.0.5"))
        << tip.toStdString();
    who.xaddrs = {"http://10.0.0.5/onvif/device%20service?x=%2F%26%25"};
    AddDeviceRow(m, Sighting{"urn:a", "http://10.0.0.5/onvif/device%20service?x=%2F%26%25", who, {}});
    EXPECT_EQ(m.RowIdentity(0).xaddrs, QStringList{"http://10.0.0.5/onvif/device%20service?x=%2F%26%25"})
        << "an escaped space stays one address";
    AddDeviceRow(m, "urn:a", "http://10.0.0.6/onvif/device_service");
    EXPECT_EQ(m.RowIdentity(0).name, "") << "the latest reply's word counts";
    // Last seen moves on with every reply.
    m.Merge("urn:a", "http://10.0.0.6/onvif/device_service", "00:16:40", {}, 1000);
    EXPECT_EQ(m.RowIdentity(0).lastSeen, IsoTimeWithOffset(1000));
    m.Merge("urn:a", "http://10.0.0.6/onvif/device_service", "00:33:20", {}, 2000);
    EXPECT_EQ(m.RowIdentity(0).lastSeen, IsoTimeWithOffset(2000));
    EXPECT_EQ(m.RowIdentity(0).host, "10.0.0.6");
    ::setenv("TZ", "Asia/Kolkata", 1);
    ::tzset();
    EXPECT_EQ(IsoTimeWithOffset(0), "1970-01-01T05:30:00+05:30");
    ::setenv("TZ", "America/St_Johns", 1);
    ::tzset();
    EXPECT_EQ(IsoTimeWithOffset(0), "1969-12-31T20:30:00-03:30");
    ::unsetenv("TZ");
    ::tzset();
}

TEST(DeviceRows, CellsOutsideTheListAreEmpty) {
    DeviceListModel m;
    EXPECT_EQ(m.Cell(-1, kColumnOnvif), "");
    EXPECT_EQ(m.Cell(0, kColumnOnvif), "");
}

TEST(ClockTime, TwoDigitFieldsOnATwentyFourHourClock) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(FormatClockTime(9 * 3600 + 5 * 60 + 7), "09:05:07");
    EXPECT_EQ(FormatClockTime(10 * 3600 + 10 * 60 + 10), "10:10:10");
    EXPECT_EQ(FormatClockTime(86400 * 365), "00:00:00");
    EXPECT_EQ(FormatClockTime(86400 + 23 * 3600 + 59 * 60 + 59), "23:59:59");
    EXPECT_EQ(FormatClockTime(0xFFFFFFFFu), "06:28:15") << "the whole unsigned range, no sign extension";
    ::setenv("TZ", "Asia/Shanghai", 1);
    ::tzset();
    EXPECT_EQ(FormatClockTime(0), "08:00:00") << "local time, not UTC";
    ::unsetenv("TZ");
    ::tzset();
}

TEST(ClockTime, FailedConversionGivesMidnight) {
    auto failing = [](const std::time_t*, std::tm*) -> std::tm* { return nullptr; };
    EXPECT_EQ(FormatClockTime(12345, failing), "00:00:00");
}

namespace {

// A probe stand-in that keeps answering until asked to stop, like a busy network.
ProbeFunction BusyProbe(int repliesPerExchange) {
    return [repliesPerExchange](const char*, ReplyList& out, const std::atomic<bool>* running) {
        for (int i = 0; i < repliesPerExchange; ++i) {
            out.push_back("<a:Address>urn:dev-" + std::to_string(i % 50) + "</a:Address><d:XAddrs>http://h/" +
                          std::to_string(i) + "</d:XAddrs>");
        }
        while (running && running->load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return static_cast<int>(out.size());
    };
}

}  // namespace

TEST(DiscoveryHost, WorkerFillsTheListOnTheOwnersThread) {
    DiscoveryHost host;
    bool finished = false;
    QObject::connect(&host, &DiscoveryHost::finished, [&] { finished = true; });
    int calls = 0;
    DiscoverySources sources{
        [] { return AdapterList{"10.9.9.9"}; },
        [&](const char*, ReplyList& out, const std::atomic<bool>*) {
            ++calls;
            out.push_back("<a:Address>urn:one</a:Address><d:XAddrs>http://one</d:XAddrs>");
            return 1;
        }};
    host.Start(sources, 3);
    QElapsedTimer timer;
    timer.start();
    while (!finished && timer.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_TRUE(finished);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(host.Model().rowCount(), 1) << "three sightings of one device make one row";
    EXPECT_EQ(host.Model().Cell(0, kColumnOnvif), "http://one");
}

TEST(DiscoveryHost, StoppingDuringAnExchangeReturnsPromptly) {
    DiscoveryHost host;
    host.Start({[] { return AdapterList{"10.9.9.9"}; }, BusyProbe(10)});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    QElapsedTimer timer;
    timer.start();
    host.Stop();
    EXPECT_LT(timer.elapsed(), 500);
}

TEST(DiscoveryHost, QueuedSightingsForADestroyedOwnerAreDropped) {
    // Calls still queued when their receiver goes must never run (ASan would also see a use after free).
    auto receiver = std::make_unique<QObject>();
    std::atomic<int> delivered{0};
    SightingHandOff handOff(receiver.get(), [&](std::vector<TimedSighting>&& batch) {
        delivered += static_cast<int>(batch.size());
    });
    const std::atomic<bool> running{true};
    const SightingSink sink = handOff.Sink(running);
    std::thread worker([&] {
        for (int i = 0; i < 5000; ++i) sink(Sighting{"urn:" + std::to_string(i), "http://h/", {}, {}});
    });
    worker.join();
    EXPECT_EQ(delivered.load(), 0) << "calls run on the receiver's thread, not the worker's";
    receiver.reset();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(delivered.load(), 0) << "a call ran for a receiver that was gone";

    // The same through the host that owns a model and a worker: thousands of calls queued when it goes.
    auto host = std::make_unique<DiscoveryHost>();
    host->Start({[] { return AdapterList{"10.9.9.9", "10.9.9.8"}; }, BusyProbe(5000)});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    QElapsedTimer timer;
    timer.start();
    host.reset();  // stops and joins the worker
    EXPECT_LT(timer.elapsed(), 500);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
}

// The bound is on what waits, not on what ever passed: hours of discovery (here some 90 MiB of sightings in
// all) go through a hand-off whose receiver keeps up.
TEST(DiscoveryHost, TheHandOffsBoundIsOnWhatWaitsNotOnWhatPassed) {
    QObject receiver;
    std::atomic<int> delivered{0};
    SightingHandOff handOff(
        &receiver, [&](std::vector<TimedSighting>&& batch) { delivered += static_cast<int>(batch.size()); });
    std::atomic<bool> running{true};
    const SightingSink sink = handOff.Sink(running);
    constexpr int kSightings = 80000;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        const std::string padding(1000, 'x');
        for (int i = 0; i < kSightings && running; ++i)
            sink(Sighting{"urn:" + std::to_string(i) + padding, "http://h/", {}, {}});
        done = true;
    });
    QElapsedTimer waited;
    waited.start();
    while (!done && waited.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const bool finished = done.load();
    running = false;
    worker.join();
    EXPECT_TRUE(finished) << "the worker waited for room that never came, after " << delivered.load();
    while (delivered.load() < kSightings && waited.elapsed() < 70000) QCoreApplication::processEvents();
    EXPECT_EQ(delivered.load(), kSightings);
}

TEST(DiscoveryHost, AFloodIntoAFullListKeepsTheNewestInOrder) {
    DiscoveryHost host;
    DeviceListModel& m = host.Model();
    for (int i = 0; i < DeviceListModel::kMaxRows; ++i) AddDeviceRow(m, "urn:" + std::to_string(i), "s");
    QAbstractItemModelTester tester(&m, QAbstractItemModelTester::FailureReportingMode::Fatal);
    constexpr int kFlood = 30000;
    int inserted = 0;
    QObject::connect(&m, &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int last) { inserted += last - first + 1; });
    host.Start({[] { return AdapterList{"10.9.9.9"}; },
                [](const char*, ReplyList& out, const std::atomic<bool>*) {
                    // The stalest row answers first, then a flood of new ids.
                    out.push_back("<a:Address>urn:0</a:Address><d:XAddrs>http://h/again</d:XAddrs>");
                    for (int i = 0; i < kFlood; ++i) {
                        out.push_back("<a:Address>flood:" + std::to_string(i) +
                                      "</a:Address><d:XAddrs>http://h/</d:XAddrs>");
                    }
                    return static_cast<int>(out.size());
                }},
               1);
    QElapsedTimer timer;
    timer.start();
    while (inserted < kFlood && timer.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    ASSERT_EQ(inserted, kFlood);
    EXPECT_EQ(m.rowCount(), DeviceListModel::kMaxRows);
    EXPECT_EQ(m.Cell(0, kColumnId), "flood:" + QString::number(kFlood - 1));
    EXPECT_EQ(m.Cell(DeviceListModel::kMaxRows - 1, kColumnId), "urn:0") << "seen again: kept, in place";
    EXPECT_EQ(m.Cell(DeviceListModel::kMaxRows - 1, kColumnOnvif), "http://h/again");
    EXPECT_EQ(m.Cell(DeviceListModel::kMaxRows - 2, kColumnId), "urn:" + QString::number(kFlood + 1))
        << "the stalest rows made room, oldest first";
}

TEST(DeviceRows, RowsUnseenForThreeCyclesGreyAndMovedRowsSaySo) {
    DeviceListModel m;
    QAbstractItemModelTester tester(&m, QAbstractItemModelTester::FailureReportingMode::Fatal);
    m.Merge("urn:a", "http://10.0.0.5/onvif", "t", {}, 100);
    m.Merge("urn:b", "http://10.0.0.6/onvif", "t", {}, 100, "10.0.0.6");
    const auto state = [&](int row) {
        return m.data(m.index(row, 0), DeviceListModel::RowStateRole).toString();
    };
    for (int cycle = 0; cycle < 3; ++cycle) {
        m.CycleEnded();
        m.Merge("urn:b", "http://10.0.0.6/onvif", "t", {}, 200,
                "10.0.0.6");  // b answers every cycle, a never again
        EXPECT_EQ(state(1), "") << "unseen for " << cycle << " whole cycles";
    }
    m.CycleEnded();
    EXPECT_EQ(state(1), "stale");
    EXPECT_EQ(m.RowIdentity(1).unseenCycles, 3);
    EXPECT_TRUE(m.data(m.index(1, 0), Qt::ToolTipRole).toString().contains("not seen for 3 cycles"));
    EXPECT_EQ(state(0), "");
    m.Merge("urn:a", "http://10.0.0.5/onvif", "t", {}, 300);
    EXPECT_EQ(state(1), "") << "seen again";

    // The same id answered from another host: the row follows, and says from where.
    m.Merge("urn:a", "http://10.0.0.99:8080/onvif", "t", {}, 400);
    const auto moved = m.RowIdentity(1);
    EXPECT_EQ(moved.host, "10.0.0.99");
    EXPECT_EQ(moved.movedFrom, "10.0.0.5");
    EXPECT_EQ(moved.movedAt, IsoTimeWithOffset(400));
    EXPECT_TRUE(m.data(m.index(1, 0), Qt::ToolTipRole).toString().contains("moved from 10.0.0.5"));
    m.Merge("urn:a", "http://10.0.0.99/other", "t", {}, 500);
    EXPECT_EQ(m.RowIdentity(1).movedAt, IsoTimeWithOffset(400)) << "a new path on the same host is no move";

    m.MarkGone("urn:b", 600, "10.0.0.66");
    EXPECT_EQ(state(0), "") << "a goodbye from another host than the device's is nobody's";
    m.MarkGone("urn:b", 600, "10.0.0.6");
    EXPECT_EQ(state(0), "gone");
    EXPECT_TRUE(m.RowIdentity(0).gone);
    EXPECT_TRUE(m.data(m.index(0, 0), Qt::ToolTipRole).toString().contains("said goodbye at"));
    m.MarkGone("urn:nobody", 600, "10.0.0.6");
    EXPECT_EQ(m.rowCount(), 2) << "a goodbye makes no row";
    m.Merge("urn:b", "http://10.0.0.6/onvif", "t", {}, 700);
    EXPECT_EQ(state(0), "") << "seen again after its goodbye";
}

namespace {

// Sources for a host on the test network whose Probes nobody answers: only announcements bring rows.
DiscoverySources QuietButListening() {
    return DiscoverySources([] { return AdapterList{"198.18.0.1"}; },
                            [](const char*, ReplyList&, const std::atomic<bool>* running) {
                                while (running->load())
                                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                                return 0;
                            });
}

bool WaitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

std::string Hello(const std::string& id) {
    return "<e:Envelope><e:Header><w:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Hello</w:Action>"
           "</e:Header><e:Body><d:Hello><w:EndpointReference><w:Address>" +
           id +
           "</w:Address></w:EndpointReference><d:XAddrs>http://198.18.0.1/onvif</d:XAddrs></d:Hello></"
           "e:Body>";
}

void Send(const std::string& datagram, const char* to) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(3702);
    ::inet_pton(AF_INET, to, &addr.sin_addr);
    in_addr own{};
    ::inet_pton(AF_INET, "198.18.0.1", &own);
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &own, sizeof own);
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::close(fd);
}

}  // namespace

TEST(Announcements, AHelloMakesARowAtOnceAndAByeGreysIt) {
    test::RequirePrivateNetwork();
    DiscoveryHost host;
    host.Start(QuietButListening());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the listener has joined the group
    auto fakecam = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{test::FakecamPath(), "--devices", "2", "--hello", "--no-http"});
    ASSERT_TRUE(fakecam->WaitForLine("ready"));
    QElapsedTimer sinceHello;
    sinceHello.start();
    ASSERT_TRUE(WaitFor([&] { return host.Model().rowCount() == 2; }, 5000))
        << "no cycle is due: only a Hello";
    EXPECT_LT(sinceHello.elapsed(), 1000);
    EXPECT_TRUE(host.Model().Cell(0, kColumnOnvif).startsWith("http://198.18.0.1:8080/cam"));
    fakecam.reset();  // it leaves in order: a Bye for each device
    const auto state = [&](int row) {
        return host.Model().data(host.Model().index(row, 0), DeviceListModel::RowStateRole).toString();
    };
    EXPECT_TRUE(WaitFor([&] { return state(0) == "gone" && state(1) == "gone"; }, 3000));
    EXPECT_EQ(host.Model().rowCount(), 2) << "rows are kept";
    fakecam = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{test::FakecamPath(), "--devices", "2", "--hello", "--no-http"});
    EXPECT_TRUE(WaitFor([&] { return state(0).isEmpty() && state(1).isEmpty(); }, 3000)) << "back again";
}

TEST(Announcements, ThePortIsSharedAndUnicastToItIsNotOurs) {
    test::RequirePrivateNetwork();
    // Another WS-Discovery listener on this machine, as a plain socket with SO_REUSEADDR.
    test::ChildProcess other(
        {"/usr/bin/python3", "-u", "-c",
         "import socket\n"
         "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
         "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
         "s.bind(('', 3702))\n"
         "s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,\n"
         "             socket.inet_aton('239.255.255.250') + socket.inet_aton('198.18.0.1'))\n"
         "print('ready', flush=True)\n"
         "while True:\n"
         "    d = s.recv(65536)\n"
         "    print('got', d[d.find(b'urn:'):d.find(b'urn:') + 12].decode(), flush=True)\n"});
    ASSERT_TRUE(other.WaitForLine("ready"));
    DiscoveryHost host;
    host.Start(QuietButListening());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Send(Hello("urn:unicast1"), "198.18.0.1");
    EXPECT_TRUE(other.WaitForLine("got urn:unicast1")) << other.Output();
    Send(Hello("urn:multica1"), "239.255.255.250");
    EXPECT_TRUE(WaitFor([&] { return host.Model().rowCount() >= 1; }, 3000));
    EXPECT_TRUE(other.WaitForLine("got urn:multica1")) << "it keeps receiving while Quorvi runs\n"
                                                       << other.Output();
    QCoreApplication::processEvents();
    ASSERT_EQ(host.Model().rowCount(), 1);
    EXPECT_EQ(host.Model().Cell(0, kColumnId), "urn:multica1")
        << "a unicast to this machine's 3702 is not ours";
}
