// The operating-system version code of the launcher: a pure function of the version records
// the platform reported, so every row of the table can be checked with made-up records.
//
// Threads: pure functions, callable from any thread.
#pragma once

namespace launcher {

// One version record as the system reports it.
struct OsVersionRecord {
    unsigned platformId = 0;   // 1: the 95 family, 2: the NT family
    unsigned major = 0;
    unsigned minor = 0;
    unsigned productType = 0;  // 1: workstation; anything else: a server
};

// Everything the platform probe answered. A record whose flag is false was not available.
struct VersionRecords {
    bool basicAnswered = false;     // the short record (platform, major, minor)
    OsVersionRecord basic;
    bool trueAnswered = false;      // the true-version query (not affected by compatibility shims)
    OsVersionRecord trueVersion;
    bool extendedAnswered = false;  // the extended record of the ordinary query (with product type)
    OsVersionRecord extended;
};

// Windows 7 or later has a code above this.
enum { kLastUnsupportedCode = 79, kUnknownVersionCode = 200 };

// The version code:   5 NT 3.x, 10 95, 20 NT 4, 30 98, 40 ME, 50 2000, 60 XP, 65 Server 2003,
// 70 Vista, 75 Server 2008, 80 7, 85 Server 2008 R2, 90 8, 95 Server 2012, 100 8.1,
// 105 Server 2012 R2, 110 10, 200 anything else or not recognised.
int VersionCode(const VersionRecords& records);

}  // namespace launcher
