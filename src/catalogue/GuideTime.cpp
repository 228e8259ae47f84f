#include "catalogue/GuideTime.h"

#include <string>

namespace castora {

namespace {

bool Digits(std::string_view s, size_t at, size_t count, int& value) {
    if (at + count > s.size()) return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

bool Leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(int64_t y, unsigned m) {
    static constexpr unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && Leap(y) ? 29 : days[m - 1];
}

// "+0100", "-05:30", "+01", "Z", "UTC", "GMT" as seconds east of UTC.
std::optional<int32_t> Offset(std::string_view s) {
    if (s.empty() || s == "Z" || s == "UTC" || s == "GMT") return 0;
    if (s[0] != '+' && s[0] != '-') return std::nullopt;
    const int sign = s[0] == '-' ? -1 : 1;
    s.remove_prefix(1);
    int h = 0, m = 0;
    if (s.size() == 2) {
        if (!Digits(s, 0, 2, h)) return std::nullopt;
    } else if (s.size() == 4) {
        if (!Digits(s, 0, 2, h) || !Digits(s, 2, 2, m)) return std::nullopt;
    } else if (s.size() == 5 && s[2] == ':') {
        if (!Digits(s, 0, 2, h) || !Digits(s, 3, 2, m)) return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (h > 14 || m > 59) return std::nullopt;
    return sign * (h * 3600 + m * 60);
}

}  // namespace

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

std::optional<int64_t> ParseXmltvTime(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    size_t n = 0;
    while (n < s.size() && n < 14 && s[n] >= '0' && s[n] <= '9') ++n;
    if (n < 8 || n % 2 != 0) return std::nullopt;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    Digits(s, 0, 4, year);
    Digits(s, 4, 2, month);
    Digits(s, 6, 2, day);
    if (n >= 10) Digits(s, 8, 2, hour);
    if (n >= 12) Digits(s, 10, 2, minute);
    if (n >= 14) Digits(s, 12, 2, second);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > static_cast<int>(DaysInMonth(year, month)) ||
        hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    std::string_view rest = s.substr(n);
    // Some guides write fractions of a second; they are dropped.
    if (n == 14 && !rest.empty() && rest[0] == '.') {
        size_t k = 1;
        while (k < rest.size() && rest[k] >= '0' && rest[k] <= '9') ++k;
        if (k == 1) return std::nullopt;
        rest.remove_prefix(k);
    }
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    const std::optional<int32_t> offset = Offset(rest);
    if (!offset) return std::nullopt;
    return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
           minute * 60 + second - *offset;
}

std::optional<int32_t> ParseTvgShift(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    if (s.empty()) return std::nullopt;
    int sign = 1;
    if (s[0] == '+' || s[0] == '-') {
        sign = s[0] == '-' ? -1 : 1;
        s.remove_prefix(1);
    }
    int64_t whole = 0, frac = 0, scale = 1;
    size_t i = 0;
    bool any = false;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && whole <= 24) whole = whole * 10 + (s[i++] - '0'), any = true;
    if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            if (scale < 1000000) frac = frac * 10 + (s[i] - '0'), scale *= 10;
            ++i;
            any = true;
        }
    }
    if (!any || i != s.size()) return std::nullopt;
    const int64_t seconds = whole * 3600 + frac * 3600 / scale;
    if (seconds > 24 * 3600) return std::nullopt;
    return static_cast<int32_t>(sign * seconds);
}

}  // namespace castora
