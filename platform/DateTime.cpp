#include "platform/DateTime.h"

#include <cmath>

namespace qz {
namespace {

constexpr int64_t kUnixEpochDay = 25569;  // 01.01.1970 in days since 30.12.1899
constexpr int64_t kMsPerDay = 86400000;

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

}  // namespace

double EncodeDateTime(const DateTimeParts& p) {
    const int64_t days = DaysFromCivil(p.year, static_cast<unsigned>(p.month), static_cast<unsigned>(p.day)) + kUnixEpochDay;
    const int64_t ms = ((static_cast<int64_t>(p.hour) * 60 + p.minute) * 60 + p.second) * 1000 + p.millisecond;
    return static_cast<double>(days) + static_cast<double>(ms) / kMsPerDay;
}

DateTimeParts DecodeDateTime(double value) {
    // Round to whole milliseconds first so 23:59:59.9995 carries into the next day.
    const int64_t total = static_cast<int64_t>(std::llround(value * kMsPerDay));
    int64_t days = total / kMsPerDay;
    int64_t ms = total % kMsPerDay;
    if (ms < 0) {
        ms += kMsPerDay;
        days -= 1;
    }
    DateTimeParts p;
    CivilFromDays(days - kUnixEpochDay, p.year, p.month, p.day);
    p.millisecond = static_cast<int>(ms % 1000);
    ms /= 1000;
    p.second = static_cast<int>(ms % 60);
    ms /= 60;
    p.minute = static_cast<int>(ms % 60);
    p.hour = static_cast<int>(ms / 60);
    return p;
}

double IncHours(double value, double hours) { return value + hours / 24.0; }

}  // namespace qz
