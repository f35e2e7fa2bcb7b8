#include "net/route_rules.h"

#include <gtest/gtest.h>

namespace {

TEST(VendorRoutes, TheKeptWayFirstThenTheOther) {
    EXPECT_EQ(FirstRoute(KeptRoute::None), VendorRoute::Default);
    EXPECT_EQ(FirstRoute(KeptRoute::Default), VendorRoute::Default);
    EXPECT_EQ(FirstRoute(KeptRoute::UserSettings), VendorRoute::UserSettings);
    EXPECT_EQ(OtherRoute(VendorRoute::Default), VendorRoute::UserSettings);
    EXPECT_EQ(OtherRoute(VendorRoute::UserSettings), VendorRoute::Default);
    EXPECT_EQ(FirstRoute(Keep(VendorRoute::UserSettings)), VendorRoute::UserSettings);
    EXPECT_EQ(FirstRoute(Keep(VendorRoute::Default)), VendorRoute::Default);
}

TEST(VendorRoutes, OnlyFailuresBeforeTheServerSawTheRequestTryAnotherWay) {
    EXPECT_TRUE(NeverReachedServer(12007));  // name not resolved
    EXPECT_TRUE(NeverReachedServer(12029));  // cannot connect
    EXPECT_TRUE(NeverReachedServer(12002));  // timed out
    EXPECT_FALSE(NeverReachedServer(12175)); // secure failure: a refused certificate
    EXPECT_FALSE(NeverReachedServer(12030)); // connection dropped once it stood
    EXPECT_FALSE(NeverReachedServer(12152)); // invalid server response
    EXPECT_FALSE(NeverReachedServer(0));
}

TEST(VendorRoutes, AProxysLogonDemandIsAnsweredOnceWithTheUsersLogonAndNeverTaken) {
    const uint32_t basic = 0x1, digest = 0x8;
    EXPECT_EQ(ReadProxyDemand(401, kSchemeNtlm, false), ProxyDemand::None); // the vendor's own: an answer
    EXPECT_EQ(ReadProxyDemand(407, basic | kSchemeNtlm, false), ProxyDemand::AnswerWithLogon);
    EXPECT_EQ(ReadProxyDemand(407, basic | digest, false), ProxyDemand::NotReached);
    EXPECT_EQ(ReadProxyDemand(407, kSchemeNegotiate, true), ProxyDemand::NotReached); // the logon refused
    EXPECT_EQ(LogonScheme(kSchemeNtlm | kSchemeNegotiate), kSchemeNegotiate);
}

TEST(VendorRoutes, TheDefaultWaysFirstTryIsBoundedWhereTheSettingsMayLeadElsewhere) {
    TryBounds detection =
        FirstTryBounds(KeptRoute::None, VendorRoute::Default, UserSettingsKind::DetectionOnly);
    EXPECT_TRUE(detection.bounded && detection.resolveMs == 0 && detection.connectMs == 5000);
    EXPECT_EQ(FirstTryBounds(KeptRoute::None, VendorRoute::Default, UserSettingsKind::Named).resolveMs,
              10000);
    EXPECT_FALSE(FirstTryBounds(KeptRoute::None, VendorRoute::Default, UserSettingsKind::Nothing).bounded);
    EXPECT_FALSE(FirstTryBounds(KeptRoute::Default, VendorRoute::Default, UserSettingsKind::Named).bounded);
}

TEST(VendorRoutes, AScriptsFirstEntryDecides) {
    wchar_t servers[16];
    const ScriptEntry direct{false, false, nullptr, 0}, proxy{true, true, L"proxy.lan", 3128},
        socks{true, false, L"socks.lan", 1080}, tooLong{true, true, L"proxy.example.lan", 8080};
    EXPECT_EQ(ReadScriptAnswer(&proxy, servers, 16), ScriptAnswer::Proxy);
    EXPECT_STREQ(servers, L"proxy.lan:3128");
    EXPECT_EQ(ReadScriptAnswer(&direct, servers, 16), ScriptAnswer::Direct);
    EXPECT_EQ(ReadScriptAnswer(&socks, servers, 16), ScriptAnswer::None);
    EXPECT_EQ(ReadScriptAnswer(nullptr, servers, 16), ScriptAnswer::None);
    // "proxy.example.lan:8080" needs 23 units: nothing of it is kept.
    EXPECT_EQ(ReadScriptAnswer(&tooLong, servers, 16), ScriptAnswer::None);
    EXPECT_STREQ(servers, L"");
}

} // namespace
