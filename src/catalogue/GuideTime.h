#pragma once
// Times as guides write them. Every time in the guide code is seconds since 1970-01-01 UTC.

#include <cstdint>
#include <optional>
#include <string_view>

namespace castora {

// An XMLTV time: "YYYYMMDDhhmmss" or a shorter prefix of it down to "YYYYMMDD", then an optional UTC
// offset ("+0100", "-05:30", "+01", "Z", "UTC", "GMT", with or without a blank before it). Without an
// offset the time is UTC. Nothing when the text is not such a time or names an impossible one.
std::optional<int64_t> ParseXmltvTime(std::string_view text);

// A playlist's tvg-shift: hours, possibly fractional or negative ("2", "-1.5", "+0,5"), as seconds;
// nothing when it is not a number of hours within a day.
std::optional<int32_t> ParseTvgShift(std::string_view text);

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);
void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day);

}  // namespace castora
