// Discovery without the network: MessageIDs, the Probe's bytes, reply extraction and the cycle.
#include <gtest/gtest.h>
#include <tinyxml.h>

#include <thread>

#include "DirectedProbe.h"
#include "DiscoveryCycle.h"
#include "MessageId.h"
#include "PortLookup.h"
#include "ProbeExchange.h"
#include "ReplyExtraction.h"

using namespace quorvi;

TEST(MessageId, SeedOneGivesTheKnownSequence) {
    MessageIdGenerator generator(1);
    EXPECT_EQ(generator.Next(), "urn:uuid:00000029-0000-4482-8000-18be00006784");
    EXPECT_EQ(generator.Next(), "urn:uuid:00004ae1-0000-43d6-8000-2cd6000072ae");
    EXPECT_EQ(generator.Next(), "urn:uuid:00006952-0000-45f9-8000-164900006df1");
    EXPECT_EQ(generator.Next(), "urn:uuid:00005af1-0000-441b-8000-26e9000001eb");
}

TEST(MessageId, FreshGeneratorsDoNotRepeatEachOther) {
    // Each run of the program gets a fresh generator; two of them must not send the same IDs.
    MessageIdGenerator first;
    MessageIdGenerator second;
    const std::string a = first.Next();
    const std::string b = second.Next();
    EXPECT_NE(a, b);
    EXPECT_EQ(a.size(), 45u);
    EXPECT_EQ(a.rfind("urn:uuid:", 0), 0u);
    EXPECT_NE(MessageIdGenerator().Next(), MessageIdGenerator(1).Next());
}

TEST(Probe, IsTheFixedSevenHundredSixtyEightBytes) {
    // Written out from the element table, so that a slip in any namespace URI shows even where the length
    // stays the same.
    const std::string id = "urn:uuid:00000029-0000-4482-8000-18be00006784";
    const std::string expected =
        "<Envelope xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\" "
        "xmlns=\"http://www.w3.org/2003/05/soap-envelope\"><Header>"
        "<wsa:MessageID xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">"
        "urn:uuid:00000029-0000-4482-8000-18be00006784</wsa:MessageID>"
        "<wsa:To xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">"
        "urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To>"
        "<wsa:Action xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">"
        "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</wsa:Action></Header>"
        "<Body><Probe xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
        "xmlns=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\">"
        "<Types>dn:NetworkVideoTransmitter</Types><Scopes/></Probe></Body></Envelope>";
    ASSERT_EQ(expected.size(), 768u);
    EXPECT_EQ(BuildProbe(id), expected);

    TiXmlDocument doc;
    doc.Parse(expected.c_str());
    ASSERT_FALSE(doc.Error()) << doc.ErrorDesc();
    EXPECT_STREQ(doc.RootElement()->Value(), "Envelope");
}

struct ExtractionCase {
    const char* name;
    std::string reply;
    bool found;
    std::string endpoint;
    std::string service;
    std::string source = {};  // where the reply came from
};

class Extraction : public ::testing::TestWithParam<ExtractionCase> {};

TEST_P(Extraction, CutsTheSighting) {
    const ExtractionCase& c = GetParam();
    const auto sighting = ExtractSighting(c.reply, c.source);
    ASSERT_EQ(sighting.has_value(), c.found);
    if (c.found) {
        EXPECT_EQ(sighting->endpoint, c.endpoint);
        EXPECT_EQ(sighting->service, c.service);
    }
}

const std::string kUrn = "urn:uuid:1419d68a-1dd2-11b2-a105-F0000000A1B2";

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, Extraction,
    ::testing::Values(
        ExtractionCase{
            "UrnAndFirstOfTwoAddresses",
            "<d:ProbeMatch><wsa:EndpointReference><wsa:Address>" + kUrn +
                "</wsa:Address></wsa:EndpointReference><d:XAddrs>http://10.0.0.5/onvif/device_service "
                "http://[fe80::1]/onvif/device_service</d:XAddrs>",
            true, kUrn, "http://10.0.0.5/onvif/device_service"},
        ExtractionCase{"FirstOfThreeAddresses",
                       "<a:Address>x</a:Address><d:XAddrs>http://10.0.0.5/a http://10.0.0.6/b "
                       "http://10.0.0.7/c</d:XAddrs>",
                       true, "x", "http://10.0.0.5/a"},
        ExtractionCase{"XAddrsWithoutSpaceIsWhole", "<a:Address>x</a:Address><d:XAddrs>http://h/s</d:XAddrs>",
                       true, "x", "http://h/s"},
        ExtractionCase{"LeadingWhiteSpaceIsSkipped",
                       "<a:Address>x</a:Address><d:XAddrs> http://h/s</d:XAddrs>", true, "x", "http://h/s"},
        ExtractionCase{"EmptyAddressIsHandedOn", "<a:Address></a:Address><d:XAddrs>http://h/s</d:XAddrs>",
                       true, "", "http://h/s"},
        ExtractionCase{"AddressWithoutXAddrs", "<a:Address>x</a:Address>", false, "", ""},
        ExtractionCase{"NoCloseAfterAddress", "<a:Address>x<d:XAddrs>http://h/s", false, "", ""},
        ExtractionCase{"NoCloseAfterXAddrs", "<a:Address>x</a:Address><d:XAddrs>http://h/s", false, "", ""},
        ExtractionCase{"NulBeforeAddress",
                       std::string("junk\0<a:Address>x</a:Address><d:XAddrs>y</d:XAddrs>", 48), false, "",
                       ""},
        ExtractionCase{"NulAfterBothStillFound",
                       std::string("<a:Address>x</a:Address><d:XAddrs>y</d:XAddrs>\0tail", 51), true, "x",
                       "y"},
        ExtractionCase{"OtherLetterCaseNotFound", "<a:address>x</a:address><d:xaddrs>y</d:xaddrs>", false, "",
                       ""},
        ExtractionCase{"UnprefixedNotFound", "<Address>x</Address><XAddrs>y</XAddrs>", false, "", ""},
        ExtractionCase{"XAddrsBeforeAddressStillFound", "<d:XAddrs>y z</d:XAddrs><a:Address>x</a:Address>",
                       true, "x", "y"},
        ExtractionCase{"FirstAddressMarkerCountsWherever",
                       "<h:Address>hdr</h:Address><a:Address>x</a:Address><d:XAddrs>y</d:XAddrs>", true,
                       "hdr", "y"},
        ExtractionCase{"AnyWhiteSpaceSeparates", "<a:Address>x</a:Address><d:XAddrs>a\tb c</d:XAddrs>", true,
                       "x", "a"},
        ExtractionCase{"LineBreaksSeparate",
                       "<a:Address>x</a:Address><d:XAddrs>\n    http://10.0.0.5/onvif/device_service\n    "
                       "http://10.0.0.6/onvif/device_service\n  </d:XAddrs>",
                       true, "x", "http://10.0.0.5/onvif/device_service"},
        ExtractionCase{"NoTrimmingOrUnescaping",
                       "<a:Address>\n x&amp;y </a:Address><d:XAddrs>\nhttp://h/?a=1&amp;b</d:XAddrs>", true,
                       "\n x&amp;y ", "http://h/?a=1&amp;b"},
        ExtractionCase{"LinkLocalFirstIsPassedOver",
                       "<a:Address>x</a:Address><d:XAddrs>http://169.254.1.7/onvif/device_service "
                       "http://10.0.0.5/onvif/device_service</d:XAddrs>",
                       true, "x", "http://10.0.0.5/onvif/device_service"},
        ExtractionCase{"Ipv6LinkLocalFirstIsPassedOver",
                       "<a:Address>x</a:Address><d:XAddrs>http://[fe80::7:1]:80/onvif/device_service "
                       "http://10.0.0.5/onvif/device_service</d:XAddrs>",
                       true, "x", "http://10.0.0.5/onvif/device_service"},
        ExtractionCase{"LoopbackFirstIsPassedOver",
                       "<a:Address>x</a:Address><d:XAddrs>http://127.0.0.1/a http://10.0.0.5/b</d:XAddrs>",
                       true, "x", "http://10.0.0.5/b"},
        ExtractionCase{
            "TheReplysSourceWins",
            "<a:Address>x</a:Address><d:XAddrs>http://10.0.0.5/a http://10.0.0.6:8080/b</d:XAddrs>", true,
            "x", "http://10.0.0.6:8080/b", "10.0.0.6"},
        ExtractionCase{
            "TheReplysSourceWinsOverLinkLocal",
            "<a:Address>x</a:Address><d:XAddrs>http://169.254.1.7/a http://u@10.0.0.6/b</d:XAddrs>", true,
            "x", "http://u@10.0.0.6/b", "10.0.0.6"},
        ExtractionCase{"OnlyLinkLocalGivesTheFirst",
                       "<a:Address>x</a:Address><d:XAddrs>http://169.254.1.7/a http://[fe80::1]/b</d:XAddrs>",
                       true, "x", "http://169.254.1.7/a"},
        ExtractionCase{
            "AnIpv6LinkLocalSourceGetsItsLink",
            "<a:Address>x</a:Address><d:XAddrs>http://10.0.0.5/b http://[FE80::0:1]:80/a</d:XAddrs>", true,
            "x", "http://[FE80::0:1%25q0]:80/a", "fe80::1%q0"},
        ExtractionCase{"AZoneTheDeviceNamedIsKept",
                       "<a:Address>x</a:Address><d:XAddrs>http://[fe80::1%25eth3]/a</d:XAddrs>", true, "x",
                       "http://[fe80::1%25eth3]/a", "fe80::1%q0"},
        ExtractionCase{
            "AGlobalIpv6SourceGetsNoZone",
            "<a:Address>x</a:Address><d:XAddrs>http://10.0.0.5/b http://[2001:DB8::1]/a</d:XAddrs>", true,
            "x", "http://[2001:DB8::1]/a", "2001:db8::1"},
        ExtractionCase{"ARoutableIpv4BeforeAnIpv6OneWhenTheSourceIsNeither",
                       "<a:Address>x</a:Address><d:XAddrs>http://[fd00::1]/a http://10.0.0.5/b</d:XAddrs>",
                       true, "x", "http://10.0.0.5/b", "fe80::9%q0"},
        ExtractionCase{"OnlyAnotherLinkLocalGetsTheReplysLink",
                       "<a:Address>x</a:Address><d:XAddrs>http://[fe80::1]/a</d:XAddrs>", true, "x",
                       "http://[fe80::1%25q0]/a", "fe80::9%q0"},
        ExtractionCase{"AnIpv4SourceAddsNoZone",
                       "<a:Address>x</a:Address><d:XAddrs>http://[fe80::1]/a</d:XAddrs>", true, "x",
                       "http://[fe80::1]/a", "10.0.0.5"},
        ExtractionCase{"OnlyWhiteSpaceIsEmpty", "<a:Address>x</a:Address><d:XAddrs> \t\n</d:XAddrs>", true,
                       "x", ""},
        ExtractionCase{"NotQuiteLinkLocal",
                       "<a:Address>x</a:Address><d:XAddrs>http://169.25.1.7/a http://10.0.0.5/b</d:XAddrs>",
                       true, "x", "http://169.25.1.7/a"},
        ExtractionCase{"NestedMarkupEndsAtFirstClose",
                       "<a:Address><b>x</b></a:Address><d:XAddrs>y</d:XAddrs>", true, "<b>x", "y"},
        ExtractionCase{"EmptyReply", "", false, "", ""},
        ExtractionCase{"EndpointOfOneKibIsKept",
                       "<a:Address>" + std::string(1024, 'i') + "</a:Address><d:XAddrs>y</d:XAddrs>", true,
                       std::string(1024, 'i'), "y"},
        ExtractionCase{"LongerEndpointIsNoSighting",
                       "<a:Address>" + std::string(1025, 'i') + "</a:Address><d:XAddrs>y</d:XAddrs>", false,
                       "", ""},
        ExtractionCase{"LongerServiceIsNoSighting",
                       "<a:Address>x</a:Address><d:XAddrs>" + std::string(1025, 's') + " short</d:XAddrs>",
                       false, "", ""},
        ExtractionCase{
            "LongXAddrsWithAShortFirstEntryIsKept",
            "<a:Address>x</a:Address><d:XAddrs>http://h/s " + std::string(4000, 's') + "</d:XAddrs>", true,
            "x", "http://h/s"},
        // gSOAP cameras name the anonymous endpoint in a ReplyTo header before the body's EndpointReference.
        ExtractionCase{
            "ReplyToHeaderBeforeEndpointReference",
            "<SOAP-ENV:Header><wsa:ReplyTo><wsa:Address>http://schemas.xmlsoap.org/ws/2004/08/addressing/"
            "role/anonymous</wsa:Address></wsa:ReplyTo></SOAP-ENV:Header><SOAP-ENV:Body><d:ProbeMatch>"
            "<wsa:EndpointReference>\n<wsa:Address>" +
                kUrn + "</wsa:Address></wsa:EndpointReference><d:XAddrs>http://h/s</d:XAddrs>",
            true, kUrn, "http://h/s"},
        ExtractionCase{"EndpointReferenceWithoutAddressAfterIt",
                       "<wsa:Address>hdr</wsa:Address><wsa:EndpointReference></"
                       "wsa:EndpointReference><d:XAddrs>y</d:XAddrs>",
                       false, "", ""},
        ExtractionCase{"XAddrsStillSearchedFromTheStart",
                       "<d:XAddrs>y</d:XAddrs><wsa:EndpointReference><wsa:Address>x</wsa:Address>", true, "x",
                       "y"},
        ExtractionCase{"EndpointReferenceMarkerNeedsAPrefix",
                       "<wsa:Address>hdr</wsa:Address><EndpointReference><wsa:Address>x</wsa:Address>"
                       "</EndpointReference><d:XAddrs>y</d:XAddrs>",
                       true, "hdr", "y"}),
    [](const ::testing::TestParamInfo<ExtractionCase>& c) { return std::string(c.param.name); });

TEST(Identity, ScopesAndServiceAddressesAreReadAndCut) {
    const std::string reply =
        "<wsa:Address>urn:x</wsa:Address><d:Scopes>\n onvif://www.onvif.org/Profile/Streaming "
        "onvif://www.onvif.org/name/Lobby%20Cam%2FEast onvif://www.onvif.org/hardware/IPC-3 "
        "ONVIF://www.onvif.org/location/Building%201\tonvif://www.onvif.org/name/second</d:Scopes>"
        "<d:XAddrs>http://10.0.0.5/onvif/device_service http://[fe80::1]/onvif/device_service</d:XAddrs>";
    const DeviceIdentity who = ReadIdentity(reply);
    EXPECT_EQ(who.name, "Lobby Cam/East") << "percent-decoded; the first name scope counts";
    EXPECT_EQ(who.hardware, "IPC-3");
    EXPECT_EQ(who.location, "Building 1");
    EXPECT_EQ(who.xaddrs, (std::vector<std::string>{"http://10.0.0.5/onvif/device_service",
                                                    "http://[fe80::1]/onvif/device_service"}));
    EXPECT_EQ(ExtractSighting(reply)->identity.name, "Lobby Cam/East");

    const DeviceIdentity none =
        ReadIdentity("<wsa:Address>urn:x</wsa:Address><d:XAddrs>http://h/s</d:XAddrs>");
    EXPECT_EQ(none.name, "");
    EXPECT_EQ(none.hardware, "");
    EXPECT_EQ(none.xaddrs, std::vector<std::string>{"http://h/s"});

    const DeviceIdentity hostile =
        ReadIdentity("<d:Scopes>onvif://www.onvif.org/name/" + std::string(500, 'n') +
                     " onvif://www.onvif.org/hardware/a%0Ab%1B%5B31m%zz%4</d:Scopes><d:XAddrs>" +
                     std::string(200, 'x') + " " + std::string(100, 'y') + "</d:XAddrs>");
    EXPECT_EQ(hostile.name, std::string(kMaxIdentityText, 'n'));
    EXPECT_EQ(hostile.hardware, "a b [31m%zz%4")
        << "control characters blanked, bad escapes kept as they are";
    EXPECT_EQ(hostile.xaddrs.size(), 1u) << "whole entries up to the bound";

    const DeviceIdentity places = ReadIdentity(
        "<d:Scopes>onvif://www.onvif.org/location/Building%201 onvif://www.onvif.org/location/Floor%202 "
        "onvif://www.onvif.org/location/" +
        std::string(80, 'r') + "</d:Scopes>");
    EXPECT_EQ(places.location, ("Building 1; Floor 2; " + std::string(80, 'r')).substr(0, kMaxIdentityText))
        << "every location, joined, within the bound";

    // Service addresses are addresses: kept as written, escapes and all; only control bytes are made
    // visible (percent-encoded), never decoded into the separator.
    const DeviceIdentity verbatim = ReadIdentity(
        "<d:XAddrs>http://h/onvif/device%20service?x=%2F%26%25 http://h/a\x01"
        "b\x7f</d:XAddrs>");
    EXPECT_EQ(verbatim.xaddrs,
              (std::vector<std::string>{"http://h/onvif/device%20service?x=%2F%26%25", "http://h/a%01b%7F"}));
}

TEST(RepliesToProbe, MatchesTheProbesIdLeniently) {
    const std::string id = "urn:uuid:0000a1b2-1111-4ccc-8ddd-eeeeffff0000";
    auto reply = [](const std::string& relatesTo) {
        return "<wsa:RelatesTo>" + relatesTo +
               "</wsa:RelatesTo><wsa:Address>x</wsa:Address><d:XAddrs>y</d:XAddrs>";
    };
    EXPECT_TRUE(RepliesToProbe(reply(id), id));
    EXPECT_TRUE(RepliesToProbe(reply(" \n URN:UUID:0000A1B2-1111-4CCC-8DDD-EEEEFFFF0000\t"), id))
        << "case, whitespace";
    EXPECT_TRUE(RepliesToProbe(reply("uuid:0000a1b2-1111-4ccc-8ddd-eeeeffff0000"), id)) << "urn: missing";
    EXPECT_TRUE(RepliesToProbe(reply(id), "uuid:0000a1b2-1111-4ccc-8ddd-eeeeffff0000")) << "urn: extra";
    EXPECT_TRUE(RepliesToProbe("<wsa:Address>x</wsa:Address><d:XAddrs>y</d:XAddrs>", id)) << "no RelatesTo";
    EXPECT_TRUE(
        RepliesToProbe(std::string("<a:Address>x</a:Address>\0<wsa:RelatesTo>other</wsa:RelatesTo>", 62), id))
        << "after a NUL nothing counts";
    EXPECT_FALSE(RepliesToProbe(reply("urn:uuid:0000a1b2-1111-4ccc-8ddd-eeeeffff0001"), id))
        << "another Probe";
    EXPECT_FALSE(RepliesToProbe(reply(""), id));
    EXPECT_FALSE(RepliesToProbe(reply("0000a1b2-1111-4ccc-8ddd-eeeeffff0000"), id))
        << "uuid: is part of the ID";
}

TEST(Targets, AddressesRangesAndBlocks) {
    std::string error;
    auto parse = [&](std::vector<std::string> specs) {
        error.clear();
        return ParseTargets(specs, error);
    };
    const auto one = parse({"10.1.2.3"});
    ASSERT_TRUE(one) << error;
    EXPECT_EQ(*one, TargetList{0x0A010203u});
    const auto range = parse({"10.1.2.254-10.1.3.1", "10.1.2.255"});
    ASSERT_TRUE(range) << error;
    EXPECT_EQ(range->size(), 4u) << "a duplicate is probed once";
    EXPECT_EQ(FormatAddress(range->front()), "10.1.2.254");
    EXPECT_EQ(FormatAddress(range->back()), "10.1.3.1");
    const auto block = parse({"192.168.7.77/28"});
    ASSERT_TRUE(block) << error;
    ASSERT_EQ(block->size(), 14u) << "network and broadcast addresses of the block left out";
    EXPECT_EQ(FormatAddress(block->front()), "192.168.7.65");
    EXPECT_EQ(FormatAddress(block->back()), "192.168.7.78");
    EXPECT_EQ(parse({"172.16.0.0/16"})->size(), 65534u);
    EXPECT_EQ(parse({"10.0.0.8/31"})->size(), 2u);
    EXPECT_EQ(parse({"10.0.0.8/32"})->size(), 1u);
}

TEST(Targets, WhatIsNotProbedIsRefusedWithAReason) {
    struct Case {
        const char* spec;
        const char* words;
    };
    for (const Case& c :
         {Case{"10.0.0.0/15", "larger than /16"}, Case{"127.0.0.1", "loopback"},
          Case{"239.255.255.250", "multicast"}, Case{"255.255.255.255", "broadcast"},
          Case{"0.0.0.0", "this network"}, Case{"240.0.0.1", "reserved"},
          Case{"126.255.255.250-127.0.0.2", "loopback"}, Case{"10.0.0.9-10.0.0.1", "low to high"},
          Case{"10.1.0.0-10.2.0.0", "more than 65536"}, Case{"10.0.0.0/33", "not an IPv4 block"},
          Case{"10.0.0.0/+8", "not an IPv4 block"}, Case{"10.0.0", "not an IPv4"},
          Case{"cam.local", "not an IPv4"}, Case{"", "not an IPv4"}, Case{"10.0.0.1/24-5", "not an IPv4"}}) {
        std::string error;
        EXPECT_FALSE(ParseTargets({c.spec}, error)) << c.spec;
        EXPECT_NE(error.find(c.words), std::string::npos) << c.spec << ": " << error;
    }
}

TEST(DiscoveryCycle, TargetsAreProbedOnceACycleAfterTheAdapters) {
    std::vector<std::string> calls;
    DiscoverySources sources([] { return AdapterList{"10.1.1.1"}; },
                             [&](const char* address, ReplyList&, const std::atomic<bool>*) {
                                 calls.push_back(address);
                                 return 0;
                             });
    sources.targets = [] { return TargetList{0x0A020202u, 0x0A020203u}; };
    sources.rate = 250;
    sources.directedProbe = [&](const TargetList& targets, int rate, ReplyList& out,
                                const std::atomic<bool>*) {
        calls.push_back("directed " + std::to_string(targets.size()) + " at " + std::to_string(rate));
        out.push_back("<a:Address>urn:far</a:Address><d:XAddrs>http://10.2.2.2/onvif</d:XAddrs>");
        return 1;
    };
    std::vector<Sighting> seen;
    std::atomic<bool> running{true};
    EXPECT_EQ(RunDiscoveryCycles(
                  running, sources, [&](const Sighting& s) { seen.push_back(s); }, 2),
              2);
    EXPECT_EQ(calls,
              (std::vector<std::string>{"10.1.1.1", "directed 2 at 250", "10.1.1.1", "directed 2 at 250"}));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].endpoint, "urn:far");
}

namespace {

// A probe stand-in that records the addresses it is asked to probe and answers with canned replies.
struct RecordingProbe {
    std::vector<std::string> probed;
    std::vector<std::string> replies;
    int result = 0;
    ProbeFunction Function() {
        return [this](const char* address, ReplyList& out, const std::atomic<bool>*) {
            probed.emplace_back(address);
            if (result < 0) return result;
            out.assign(replies.begin(), replies.end());
            return static_cast<int>(out.size());
        };
    }
};

std::string Reply(const std::string& endpoint, const std::string& service) {
    return "<wsa:Address>" + endpoint + "</wsa:Address><d:XAddrs>" + service + "</d:XAddrs>";
}

}  // namespace

TEST(DiscoveryCycle, ProbesEveryUsableAddressInOrderAndSkipsTheZeroAddress) {
    RecordingProbe probe;
    probe.replies = {Reply("dev-a", "http://a/s"), "garbage", Reply("dev-b", "http://b/s"),
                     Reply("dev-a", "http://a2")};
    DiscoverySources sources{[] { return AdapterList{"10.1.1.1", "0.0.0.0", "10.1.1.2"}; }, probe.Function()};
    std::vector<Sighting> seen;
    std::atomic<bool> running{true};
    EXPECT_EQ(RunDiscoveryCycles(
                  running, sources, [&](const Sighting& s) { seen.push_back(s); }, 2),
              2);
    EXPECT_EQ(probe.probed, (std::vector<std::string>{"10.1.1.1", "10.1.1.2", "10.1.1.1", "10.1.1.2"}));
    ASSERT_EQ(seen.size(), 12u);  // three usable replies, two addresses, two cycles
    EXPECT_EQ(seen[0], (Sighting{"dev-a", "http://a/s", {}, {}}));
    EXPECT_EQ(seen[1], (Sighting{"dev-b", "http://b/s", {}, {}}));
    EXPECT_EQ(seen[2], (Sighting{"dev-a", "http://a2", {}, {}}));
}

TEST(DiscoveryCycle, ClearedFlagRunsNothing) {
    RecordingProbe probe;
    std::atomic<bool> running{false};
    DiscoverySources sources{[] { return AdapterList{"10.1.1.1"}; }, probe.Function()};
    EXPECT_EQ(RunDiscoveryCycles(running, sources, [](const Sighting&) {}), 0);
    EXPECT_TRUE(probe.probed.empty());
}

TEST(DiscoveryCycle, IdleCyclesPauseAndAStopEndsThePause) {
    // Only "0.0.0.0", or every exchange failing: the worker must not spin, and must still stop promptly.
    for (int failing = 0; failing < 2; ++failing) {
        RecordingProbe probe;
        probe.result = -1;
        int listings = 0;
        DiscoverySources sources{[&] {
                                     ++listings;
                                     return failing ? AdapterList{"10.1.1.1"} : AdapterList{"0.0.0.0"};
                                 },
                                 probe.Function()};
        std::atomic<bool> running{true};
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            running = false;
        });
        const auto start = std::chrono::steady_clock::now();
        RunDiscoveryCycles(running, sources, [](const Sighting&) {});
        const auto took = std::chrono::steady_clock::now() - start;
        stopper.join();
        EXPECT_EQ(listings, 1) << "a cycle that probed nothing must wait before the next";
        EXPECT_LT(took, std::chrono::milliseconds(900)) << "the stop must end the pause early";
    }
}

// What counts as an ONVIF device on a port, and which ports are asked.
TEST(PortLookup, OnlyAnOnvifAnswerIsADevice) {
    const std::string envelope = "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>";
    EXPECT_TRUE(
        LooksLikeOnvifTimeAnswer(envelope + "<tds:GetSystemDateAndTimeResponse/></s:Body></s:Envelope>"));
    EXPECT_TRUE(
        LooksLikeOnvifTimeAnswer(envelope +
                                 "<s:Fault><s:Code><s:Value>s:Sender</s:Value><s:Subcode><s:Value>"
                                 "ter:NotAuthorized</s:Value></s:Subcode></s:Code></s:Fault></s:Body>"))
        << "a device that wants credentials even for its clock";
    EXPECT_FALSE(LooksLikeOnvifTimeAnswer("<html><body><GetSystemDateAndTimeResponse/></body></html>"))
        << "no SOAP envelope: a web page";
    EXPECT_FALSE(
        LooksLikeOnvifTimeAnswer(envelope + "<s:Fault><s:Reason>Internal error</s:Reason></s:Fault>"));
    EXPECT_FALSE(LooksLikeOnvifTimeAnswer(""));
    std::string error;
    EXPECT_EQ(ParsePorts("default", error), DefaultOnvifPorts());
    EXPECT_EQ(ParsePorts("8899,80,8899", error), (std::vector<int>{8899, 80}));
    for (const char* bad : {"", "0", "65536", "80,", ",80", "8 0", "-1", "http"})
        EXPECT_FALSE(ParsePorts(bad, error)) << bad;
}

TEST(PortLookup, ADeviceAddedByHandIsLookedForWhereItWasNamed) {
    struct Case {
        const char* typed;
        const char* host;
        std::vector<int> ports;
    };
    for (const Case& c : std::vector<Case>{
             {"198.18.0.5", "198.18.0.5", DefaultOnvifPorts()},
             {" 198.18.0.5:8899 ", "198.18.0.5", {8899}},
             {"cam-12.site.example", "cam-12.site.example", DefaultOnvifPorts()},
             {"http://198.18.0.5/onvif/device_service", "198.18.0.5", {80}},
             {"HTTP://198.18.0.5:2020/onvif/device_service?x=1", "198.18.0.5", {2020}},
             {"https://198.18.0.5/onvif/device_service", "198.18.0.5", {443}},
             {"https://198.18.0.5:8443", "198.18.0.5", {8443}},
         }) {
        std::string error;
        const auto got = ParseDeviceAddress(c.typed, error);
        ASSERT_TRUE(got) << c.typed << ": " << error;
        EXPECT_EQ(got->host, c.host) << c.typed;
        EXPECT_EQ(got->ports, c.ports) << c.typed;
    }
    // A user in the address would be a credential sent to a device found by one unauthenticated request.
    for (const char* bad : {"", "  ", "198.18.0.5:", "198.18.0.5:0", "198.18.0.5:80,8080",
                            "198.18.0.5:default", "http://admin:pw@198.18.0.5/", "https://198.18.0.5:7443/",
                            "rtsp://198.18.0.5/", "198.18.0.5/24", "a b", "[fe80::1]"}) {
        std::string error;
        EXPECT_FALSE(ParseDeviceAddress(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    std::string error;
    EXPECT_FALSE(ResolveDeviceHost("127.0.0.1", error));
    EXPECT_NE(error.find("loopback"), std::string::npos) << error;
    EXPECT_FALSE(ResolveDeviceHost("no-such-host.invalid", error));
    EXPECT_NE(error.find("no-such-host.invalid"), std::string::npos) << error;
    EXPECT_EQ(ResolveDeviceHost("198.18.0.5", error), std::optional<uint32_t>(0xC6120005u));
    EXPECT_EQ(NothingAnsweredText({8899}), "no answer to a Probe on 3702, nor ONVIF on port 8899");
    EXPECT_EQ(NothingAnsweredText({80, 8000}), "no answer to a Probe on 3702, nor ONVIF on ports 80, 8000");
}
