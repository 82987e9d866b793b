#include "version_code.h"

namespace launcher {

namespace {

int NineFiveFamilyCode(unsigned minor) {
    switch (minor) {
    case 0: return 10;   // 95
    case 10: return 30;  // 98
    case 90: return 40;  // ME
    default: return kUnknownVersionCode;
    }
}

int NtFamilyCode(unsigned major, unsigned minor, bool workstation) {
    switch (major) {
    case 3: return 5;
    case 4: return 20;
    case 5:
        if (minor == 0) return 50;
        if (minor == 1) return 60;
        if (minor == 2) return workstation ? 60 : 65;
        return kUnknownVersionCode;
    case 6: {
        // Vista / 7 / 8 / 8.1 and their server editions five above each.
        static const int kWorkstation[] = {70, 80, 90, 100};
        if (minor > 3) return kUnknownVersionCode;
        return kWorkstation[minor] + (workstation ? 0 : 5);
    }
    case 10:
        return minor == 0 ? 110 : kUnknownVersionCode;
    default:
        return kUnknownVersionCode;
    }
}

}  // namespace

int VersionCode(const VersionRecords& records) {
    if (!records.basicAnswered) return kUnknownVersionCode;
    switch (records.basic.platformId) {
    case 1:
        return NineFiveFamilyCode(records.basic.minor);
    case 2: {
        // The true version wins over what the ordinary query reports (which may be an older
        // system under compatibility settings); without either, major and minor are 0.
        OsVersionRecord nt;
        if (records.trueAnswered)
            nt = records.trueVersion;
        else if (records.extendedAnswered)
            nt = records.extended;
        return NtFamilyCode(nt.major, nt.minor, nt.productType == 1);
    }
    default:
        return kUnknownVersionCode;
    }
}

}  // namespace launcher
