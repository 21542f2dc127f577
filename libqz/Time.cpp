#include "Time.h"

namespace {

// Writes v as exactly `width` decimal digits (zero padded) and returns the position after them.
char* put_digits(char* out, int v, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    return out + width;
}

// YYYYMMDD-HH:MM:SS without snprintf: SendingTime is formatted for every outbound message.
std::string date_time_text(const tm& t) {
    char buf[17];
    char* p = put_digits(buf, t.tm_year + 1900, 4);
    p = put_digits(p, t.tm_mon + 1, 2);
    p = put_digits(p, t.tm_mday, 2);
    *p++ = '-';
    p = put_digits(p, t.tm_hour, 2);
    *p++ = ':';
    p = put_digits(p, t.tm_min, 2);
    *p++ = ':';
    put_digits(p, t.tm_sec, 2);
    return std::string(buf, sizeof buf);
}

tm local(time_t t) {
    tm out{};
    localtime_r(&t, &out);
    return out;
}

}  // namespace

Time::Time() : ftime(time(nullptr)) {}

void Time::set(long t) {
    ftime = static_cast<time_t>(t);
}

long Time::get() const {
    return static_cast<long>(ftime);
}

void Time::update() {
    ftime = time(nullptr);
}

int Time::past() const {
    return static_cast<int>(difftime(time(nullptr), ftime));
}

std::string Time::getCurrentGMTime() {
    update();
    return getGMTime();
}

std::string Time::getGMTime() const {
    tm t{};
    gmtime_r(&ftime, &t);
    return date_time_text(t);
}

std::string Time::getLogDate() {
    update();
    return date_time_text(local(ftime)).substr(0, 8);
}

std::string Time::getLogTime() {
    update();
    return date_time_text(local(ftime)).substr(9);
}

std::string Time::getDateTime() const {
    return date_time_text(local(ftime));
}
