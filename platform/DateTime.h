#pragma once
#include <cstdint>
#include <string>

// Date-time values as days since 30.12.1899, the form that stored values
// such as the log switch-off date use.
namespace qz {

struct DateTimeParts {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

double EncodeDateTime(const DateTimeParts& parts);
DateTimeParts DecodeDateTime(double value);
// Whole days and milliseconds added to a date-time value.
double IncHours(double value, double hours);

}  // namespace qz
