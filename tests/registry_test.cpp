// The device list's rows without any view: their order, merging, eviction and what a view is told.
#include <gtest/gtest.h>

#include <random>

#include "DeviceRegistry.h"
#include "RowOrder.h"

using namespace quorvi;

namespace {

// What a view would be told, as text: "-3..4" removed, "+0..1" inserted, "~2..2" changed.
struct Recorder : RegistryListener {
    std::vector<std::string> told;
    void BeginRemove(int first, int last) override { told.push_back("-" + Range(first, last)); }
    void EndRemove() override {}
    void BeginInsert(int first, int last) override { told.push_back("+" + Range(first, last)); }
    void EndInsert() override {}
    void Changed(int first, int last, bool stateOnly) override {
        told.push_back((stateOnly ? "*" : "~") + Range(first, last));
    }
    static std::string Range(int a, int b) { return std::to_string(a) + ".." + std::to_string(b); }
};

std::vector<std::string> Ids(const DeviceRegistry& r) {
    std::vector<std::string> ids;
    for (int i = 0; i < r.Size(); ++i) ids.push_back(r.At(i)->id);
    return ids;
}

RegistryEntry Seen(const std::string& id, const std::string& service = "http://h/", std::time_t at = 1) {
    return {id, service, "00:00:01", {}, at, {}};
}

}  // namespace

TEST(RowOrder, PositionsFollowRemovalsAnywhere) {
    RowOrder order;
    std::vector<std::size_t> live;
    for (int i = 0; i < 1000; ++i) live.push_back(order.Append());
    std::mt19937 rng(7);
    // Remove at random; the slots left, newest on top, are what positions must give.
    for (int round = 0; round < 600; ++round) {
        const std::size_t k = rng() % live.size();
        order.Remove(live[k]);
        live.erase(live.begin() + static_cast<long>(k));
        if (round % 50 == 0) live.push_back(order.Append());
    }
    ASSERT_EQ(order.Size(), static_cast<int>(live.size()));
    for (std::size_t i = 0; i < live.size(); ++i) {
        const int position = static_cast<int>(live.size() - 1 - i);
        EXPECT_EQ(order.Position(live[i]), position);
        EXPECT_EQ(order.SlotAt(position), live[i]);
    }
    order.Reset(3);
    EXPECT_EQ(order.Size(), 3);
    EXPECT_EQ(order.SlotAt(0), 2u);
    EXPECT_EQ(order.Position(0), 2);
}

TEST(DeviceRegistry, NewRowsGoOnTopAndRefreshedOnesStayInPlace) {
    DeviceRegistry r;
    Recorder view;
    r.SetListener(&view);
    r.Merge({Seen("a"), Seen("b"), Seen("c")});
    EXPECT_EQ(Ids(r), (std::vector<std::string>{"c", "b", "a"}));
    r.Merge({Seen("b", "http://h/2", 5)});
    EXPECT_EQ(Ids(r), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(r.At(1)->service, "http://h/2");
    EXPECT_EQ(r.At(1)->lastSeen, 5);
    EXPECT_EQ(view.told, (std::vector<std::string>{"+0..2", "~1..1"}));
}

TEST(DeviceRegistry, AFullListEvictsTheStalestInRunsAndNeverARowJustSeen) {
    DeviceRegistry r;
    std::vector<RegistryEntry> fill;
    for (int i = 0; i < DeviceRegistry::kMaxRows; ++i) fill.push_back(Seen("urn:" + std::to_string(i)));
    r.Merge(fill);
    Recorder view;
    r.SetListener(&view);
    // urn:2 was stale, but answers in the same batch as three new devices.
    r.Merge({Seen("new:1"), Seen("urn:2"), Seen("new:2"), Seen("new:3")});
    EXPECT_EQ(r.Size(), DeviceRegistry::kMaxRows);
    const int n = DeviceRegistry::kMaxRows;
    // urn:0, urn:1 and urn:3 go, from the bottom up: the bottom two in one removal, urn:3 on its own.
    EXPECT_EQ(view.told, (std::vector<std::string>{"-" + Recorder::Range(n - 2, n - 1),
                                                   "-" + Recorder::Range(n - 4, n - 4), "+0..2",
                                                   "~" + Recorder::Range(n - 1, n - 1)}));
    EXPECT_EQ(r.At(0)->id, "new:3");
    EXPECT_EQ(r.At(n - 1)->id, "urn:2");
    EXPECT_EQ(r.At(n - 2)->id, "urn:4");
}

TEST(DeviceRegistry, IdsAreComparedAsTheViewShowsThem) {
    // A view that shows every byte above 0x7f as '?': those ids are one device.
    DeviceRegistry r([](const std::string& id) {
        std::string shown = id;
        for (char& c : shown) {
            if (static_cast<unsigned char>(c) > 0x7f) c = '?';
        }
        return shown;
    });
    r.Merge({Seen("urn:\xff"), Seen("urn:\xfe"), Seen("urn:x")});
    EXPECT_EQ(Ids(r), (std::vector<std::string>{"urn:x", "urn:?"}));
}

TEST(DeviceRegistry, GoodbyesCyclesAndMoves) {
    DeviceRegistry r;
    Recorder view;
    r.SetListener(&view);
    DeviceIdentity who;
    who.name = "Lobby";
    who.location = "Building 1; Floor 2";
    who.xaddrs = {"http://10.0.0.5/onvif", "http://[fe80::1]/onvif"};
    r.Merge({{"a", "http://10.0.0.5/onvif", "t", who, 10, "10.0.0.5"}});
    const DeviceIdentity back = r.At(0)->Identity();
    EXPECT_EQ(back.name, "Lobby");
    EXPECT_EQ(back.location, "Building 1; Floor 2");
    EXPECT_EQ(back.xaddrs, who.xaddrs);
    r.MarkGone("a", 20, "10.0.0.50");
    r.MarkGone("a", 20, "");
    EXPECT_EQ(r.At(0)->goneAt, 0) << "only the device's own address says goodbye for it";
    r.MarkGone("a", 20, "10.0.0.5");
    EXPECT_EQ(r.At(0)->goneAt, 20);
    r.MarkGone("nobody", 20, "10.0.0.5");
    for (int i = 0; i < 4; ++i) r.CycleEnded();
    EXPECT_TRUE(r.Stale(*r.At(0)));
    r.Merge({Seen("a", "http://CAMERA.example:81/onvif", 30)});
    EXPECT_EQ(r.At(0)->goneAt, 0);
    EXPECT_FALSE(r.Stale(*r.At(0)));
    EXPECT_EQ(r.At(0)->movedFrom, "10.0.0.5");
    EXPECT_EQ(r.At(0)->movedAt, 30);
    r.Merge({Seen("a", "http://camera.example/other", 40)});
    EXPECT_EQ(r.At(0)->movedAt, 30) << "the same host, written otherwise, is no move";
    EXPECT_EQ(view.told, (std::vector<std::string>{"+0..0", "*0..0", "*0..0", "*0..0", "*0..0", "*0..0",
                                                   "~0..0", "~0..0"}));
}
