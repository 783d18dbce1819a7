// Record times: the one-month shift of the stored stamp, made and undone here
// only, and conversions between seconds since 1970 and calendar fields.
#include <cstdint>

#include "platform.h"
#include "qar/qar.h"

namespace {

// The stamp of a time that is not known (and of one before 1970).
constexpr uint32_t STAMP_UNKNOWN = 0xFFFFFFFFu;

// Days from 1970-01-01 to the given proleptic Gregorian date (month 1-12),
// negative before it; the year counted from March so that leap days fall last.
int64_t days_from_civil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// The inverse of days_from_civil.
void civil_from_days(int64_t days, int64_t* year, int* month, int* day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t day_of_era = days - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t shifted_month = (5 * day_of_year + 2) / 153;
    *day = int(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    *month = int(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    *year = year_of_era + era * 400 + (*month <= 2);
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// The calendar fields of seconds since 1970, UTC, for any value.
qar_datetime utc_fields(int64_t seconds) {
    const int64_t days = floor_div(seconds, 86400);
    const int64_t rest = seconds - days * 86400;
    int64_t year = 0;
    qar_datetime out = {};
    civil_from_days(days, &year, &out.month, &out.day);
    out.year = int(year);
    out.hour = int(rest / 3600);
    out.minute = int(rest / 60 % 60);
    out.second = int(rest % 60);
    return out;
}

}  // namespace

int64_t qar_time_from_datetime(const qar_datetime* utc) {
    // Months outside 1-12 roll into the years around, as days and times do.
    const int64_t months = int64_t(utc->year) * 12 + (utc->month - 1);
    const int64_t days =
        days_from_civil(floor_div(months, 12), months - floor_div(months, 12) * 12 + 1, 1) +
        (utc->day - 1);
    return days * 86400 + int64_t(utc->hour) * 3600 + int64_t(utc->minute) * 60 + utc->second;
}

uint32_t qar_stamp_from_datetime(const qar_datetime* utc) {
    // The month number goes into the 0-based month field unchanged: the
    // one-month shift is part of the stored format.
    PlatTm fields{utc->year - 1900, utc->month, utc->day, utc->hour, utc->minute, utc->second};
    int64_t seconds = plat_mkgmtime(fields);
    // -1 keeps all bits set. An instant past the field's last second would
    // come back as some date near 1970: it is stored as unknown instead.
    if (seconds < 0 || seconds >= int64_t(STAMP_UNKNOWN)) return STAMP_UNKNOWN;
    return uint32_t(seconds);
}

int qar_stamp_to_datetime(uint32_t stamp, int local, qar_datetime* out) {
    // Unsigned, so that the dates up to 2106 that add stores come back; all
    // bits set is the date before 1970, which cannot be shown.
    if (stamp == STAMP_UNKNOWN) return 0;
    qar_datetime fields;  // of the stamp's instant, the month numbered 1-12
    if (local) {
        PlatTm tm;
        if (!plat_localtime(stamp, &tm)) return 0;
        fields = {tm.year + 1900, tm.month + 1, tm.day, tm.hour, tm.minute, tm.second};
    } else {
        // Arithmetic alone: a listing converts every record's stamp, and the
        // system's conversion takes a process-wide lock each time.
        fields = utc_fields(stamp);
    }
    // The 0-based month field holds the month number, so the instant's month
    // is one later; January's field is a December date.
    *out = fields;
    out->month -= 1;
    if (out->month == 0) {
        out->month = 12;
        out->year -= 1;
    }
    return 1;
}

uint32_t qar_stamp_from_time(int64_t seconds) {
    if (seconds == QAR_TIME_UNKNOWN) return STAMP_UNKNOWN;
    const qar_datetime utc = utc_fields(seconds);
    return qar_stamp_from_datetime(&utc);
}

int64_t qar_stamp_to_time(uint32_t stamp) {
    qar_datetime utc;
    if (!qar_stamp_to_datetime(stamp, 0, &utc)) return QAR_TIME_UNKNOWN;
    return qar_time_from_datetime(&utc);
}
