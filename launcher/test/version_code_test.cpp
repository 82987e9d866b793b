#include "version_code.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

OsVersionRecord Record(unsigned platform, unsigned major, unsigned minor, unsigned productType) {
    OsVersionRecord r;
    r.platformId = platform;
    r.major = major;
    r.minor = minor;
    r.productType = productType;
    return r;
}

// An NT-family system whose true-version query answers.
VersionRecords Nt(unsigned major, unsigned minor, unsigned productType = 1) {
    VersionRecords v;
    v.basicAnswered = true;
    v.basic = Record(2, major, minor, 0);
    v.trueAnswered = true;
    v.trueVersion = Record(2, major, minor, productType);
    return v;
}

VersionRecords NineFive(unsigned minor) {
    VersionRecords v;
    v.basicAnswered = true;
    v.basic = Record(1, 4, minor, 0);
    return v;
}

const unsigned kWorkstation = 1, kServer = 3, kDomainController = 2;

TEST(VersionCode, NtTable) {
    EXPECT_EQ(VersionCode(Nt(3, 51)), 5);
    EXPECT_EQ(VersionCode(Nt(4, 0)), 20);
    EXPECT_EQ(VersionCode(Nt(5, 0)), 50);
    EXPECT_EQ(VersionCode(Nt(5, 1)), 60);
    EXPECT_EQ(VersionCode(Nt(5, 2, kWorkstation)), 60);
    EXPECT_EQ(VersionCode(Nt(5, 2, kServer)), 65);
    EXPECT_EQ(VersionCode(Nt(5, 3)), 200);
    EXPECT_EQ(VersionCode(Nt(6, 0, kWorkstation)), 70);
    EXPECT_EQ(VersionCode(Nt(6, 0, kServer)), 75);
    EXPECT_EQ(VersionCode(Nt(6, 1, kWorkstation)), 80);
    EXPECT_EQ(VersionCode(Nt(6, 1, kServer)), 85);
    EXPECT_EQ(VersionCode(Nt(6, 1, kDomainController)), 85);
    EXPECT_EQ(VersionCode(Nt(6, 2, kWorkstation)), 90);
    EXPECT_EQ(VersionCode(Nt(6, 2, kServer)), 95);
    EXPECT_EQ(VersionCode(Nt(6, 3, kWorkstation)), 100);
    EXPECT_EQ(VersionCode(Nt(6, 3, kServer)), 105);
    EXPECT_EQ(VersionCode(Nt(6, 4)), 200);
    EXPECT_EQ(VersionCode(Nt(10, 0, kWorkstation)), 110);
    EXPECT_EQ(VersionCode(Nt(10, 0, kServer)), 110);
    EXPECT_EQ(VersionCode(Nt(10, 1)), 200);
    EXPECT_EQ(VersionCode(Nt(11, 0)), 200);
    EXPECT_EQ(VersionCode(Nt(7, 0)), 200);
    EXPECT_EQ(VersionCode(Nt(0, 0)), 200);
}

TEST(VersionCode, NineFiveFamilyByMinorVersion) {
    EXPECT_EQ(VersionCode(NineFive(0)), 10);
    EXPECT_EQ(VersionCode(NineFive(10)), 30);
    EXPECT_EQ(VersionCode(NineFive(90)), 40);
    EXPECT_EQ(VersionCode(NineFive(1)), 200);
}

TEST(VersionCode, OtherPlatformOrFailedQueryIsUnknown) {
    VersionRecords none;
    EXPECT_EQ(VersionCode(none), 200);

    VersionRecords win32s = Nt(6, 1);
    win32s.basic.platformId = 0;
    EXPECT_EQ(VersionCode(win32s), 200);
    win32s.basic.platformId = 3;
    EXPECT_EQ(VersionCode(win32s), 200);

    // Records of a supported system count for nothing when the first query failed.
    VersionRecords failed = Nt(6, 1);
    failed.basicAnswered = false;
    EXPECT_EQ(VersionCode(failed), 200);
}

TEST(VersionCode, TrueVersionWinsOverOlderReportedOne) {
    // A compatibility shim makes the ordinary query report Vista on a Windows 7 machine.
    VersionRecords v = Nt(6, 1, kWorkstation);
    v.basic = Record(2, 6, 0, 0);
    v.extendedAnswered = true;
    v.extended = Record(2, 6, 0, kWorkstation);
    EXPECT_EQ(VersionCode(v), 80);

    // And the other way: the true version is older; it still decides.
    v.trueVersion = Record(2, 5, 1, kWorkstation);
    v.extended = Record(2, 10, 0, kWorkstation);
    EXPECT_EQ(VersionCode(v), 60);
}

TEST(VersionCode, ExtendedRecordStandsInForMissingTrueVersion) {
    VersionRecords v = Nt(6, 1, kServer);
    v.trueAnswered = false;
    v.extendedAnswered = true;
    v.extended = Record(2, 6, 0, kServer);
    EXPECT_EQ(VersionCode(v), 75);

    // Neither answered: major and minor are 0, which is no known system.
    v.extendedAnswered = false;
    EXPECT_EQ(VersionCode(v), 200);
}

}  // namespace
}  // namespace launcher
