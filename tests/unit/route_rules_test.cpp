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

} // namespace
