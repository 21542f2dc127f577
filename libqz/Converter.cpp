#include "Converter.h"

#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

template <typename T>
std::string integer_text(T n) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, n);
    return std::string(buf, res.ptr);
}

std::string general_text(double d) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%g", d);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace

std::string Converter::to_string(int n) {
    return integer_text(n);
}

std::string Converter::to_string(long n) {
    return integer_text(n);
}

std::string Converter::to_string(unsigned long n) {
    return integer_text(n);
}

std::string Converter::to_string(float f) {
    return general_text(f);
}

std::string Converter::to_string(double d) {
    return general_text(d);
}

int Converter::to_int(const std::string& s) {
    return to_int(s.data(), s.data() + s.size());
}

int Converter::to_int(const char* first, const char* last) {
    const char* p = first;
    while (p < last && is_blank(*p)) ++p;
    bool negative = false;
    if (p < last && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    // Accumulate as a negative number so INT_MIN is representable.
    long long acc = 0;
    bool overflow = false;
    for (; p < last && is_digit(*p); ++p) {
        if (!overflow) {
            acc = acc * 10 - (*p - '0');
            if (acc < static_cast<long long>(INT_MIN) - 1) overflow = true;
        }
    }
    if (negative) return overflow || acc < INT_MIN ? INT_MIN : static_cast<int>(acc);
    return overflow || -acc > INT_MAX ? INT_MAX : static_cast<int>(-acc);
}

float Converter::to_float(const std::string& s) {
    // Copy only the part a stream would accept, so strtof never sees hex, inf or nan forms.
    size_t i = 0;
    const size_t n = s.size();
    while (i < n && is_blank(s[i])) ++i;
    std::string number;
    if (i < n && (s[i] == '+' || s[i] == '-')) number += s[i++];
    size_t digits = 0;
    for (; i < n && is_digit(s[i]); ++i, ++digits) number += s[i];
    if (i < n && s[i] == '.') {
        number += s[i++];
        for (; i < n && is_digit(s[i]); ++i, ++digits) number += s[i];
    }
    if (digits == 0) return 0.0f;
    if (i + 1 < n && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < n && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < n && is_digit(s[j])) {
            number.append(s, i, j - i);
            for (; j < n && is_digit(s[j]); ++j) number += s[j];
        }
    }
    return std::strtof(number.c_str(), nullptr);
}

int Converter::to_port(const std::string& s) {
    constexpr long highestPort = 65535;
    if (s.empty()) return 0;
    // A port is its value: leading zeros add nothing, however many there are.
    long port = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return 0;
        port = port * 10 + (c - '0');
        if (port > highestPort) return 0;
    }
    return static_cast<int>(port);
}
