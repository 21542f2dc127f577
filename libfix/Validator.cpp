#include "Validator.h"

#include <algorithm>

namespace {

constexpr char SOH = '\001';

bool digits(std::string_view v) {
    if (v.empty()) return false;
    for (char c : v)
        if (c < '0' || c > '9') return false;
    return true;
}

// The number in `v` (digits only, at most 9 of them), or -1.
long number(std::string_view v) {
    if (!digits(v) || v.size() > 9) return -1;
    long n = 0;
    for (char c : v) n = n * 10 + (c - '0');
    return n;
}

bool decimal(std::string_view v) {
    if (!v.empty() && v[0] == '-') v.remove_prefix(1);
    bool any = false, point = false;
    for (char c : v) {
        if (c == '.' && !point) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            any = true;
        } else {
            return false;
        }
    }
    return any;
}

bool inRange(std::string_view v, std::size_t at, std::size_t n, long low, long high) {
    long x = number(v.substr(at, n));
    return x >= low && x <= high;
}

// YYYYMMDD
bool date(std::string_view v) {
    return v.size() == 8 && digits(v) && inRange(v, 4, 2, 1, 12) && inRange(v, 6, 2, 1, 31);
}

// HH:MM:SS with an optional fraction of 1 to 9 digits; a leap second is allowed.
bool timeOfDay(std::string_view v) {
    if (v.size() < 8 || v[2] != ':' || v[5] != ':' || !inRange(v, 0, 2, 0, 23) ||
        !inRange(v, 3, 2, 0, 59) || !inRange(v, 6, 2, 0, 60))
        return false;
    if (v.size() == 8) return true;
    return v[8] == '.' && v.size() <= 18 && digits(v.substr(9));
}

// YYYYMM, YYYYMMDD or YYYYMMwN
bool monthYear(std::string_view v) {
    if (v.size() < 6 || !digits(v.substr(0, 6)) || !inRange(v, 4, 2, 1, 12)) return false;
    if (v.size() == 6) return true;
    if (v.size() == 8 && v[6] == 'w') return v[7] >= '1' && v[7] <= '5';
    return v.size() == 8 && inRange(v, 6, 2, 1, 31);
}

}  // namespace

Validator::Validator(std::shared_ptr<const Dictionary> dictionary)
    : dict(std::move(dictionary)), words(dict->words()), sparse(words > sparseWords) {
    std::size_t depth = static_cast<std::size_t>(dict->maxDepth()) + 1;
    seen_.assign(depth * words, 0);
    dirty.assign(depth, Dirty{words, 0});
    levels.reserve(depth);
}

void Validator::clear(int depth) {
    if (!sparse) {
        std::fill_n(seen_.begin() + static_cast<std::ptrdiff_t>(depth * words), words, 0);
        return;
    }
    Dirty& d = dirty[static_cast<std::size_t>(depth)];
    if (d.first < d.end)
        std::fill_n(seen_.begin() + static_cast<std::ptrdiff_t>(depth * words + d.first),
                    d.end - d.first, 0);
    d = Dirty{words, 0};
}

int Validator::missing(int depth, int scope) const {
    for (int tag : dict->scope(scope).required)
        if (!seen(depth, tag)) return tag;
    return 0;
}

Validator::Fault Validator::closeGroup() {
    const Level& l = levels.back();
    int depth = static_cast<int>(levels.size()) - 1;
    if (l.entries > 0)
        if (int tag = missing(depth, l.scope)) return {1, tag};
    if (l.entries != l.expected) return {16, l.countTag};
    levels.pop_back();
    return {};
}

Validator::Fault Validator::closeAll() {
    while (levels.size() > 1) {
        Fault f = closeGroup();
        if (!f.ok()) return f;
    }
    return {};
}

Validator::Fault Validator::value(int tag, std::string_view v) const {
    using T = Dictionary::Type;
    bool good = true;
    switch (dict->type(tag)) {
        case T::Int:
            good = v[0] == '-' ? digits(v.substr(1)) : digits(v);
            break;
        case T::Unsigned:
            good = digits(v);
            break;
        case T::DayOfMonth:
            good = inRange(v, 0, v.size(), 1, 31);
            break;
        case T::Float:
            good = decimal(v);
            break;
        case T::Char:
            good = v.size() == 1;
            break;
        case T::Boolean:
            good = v == "Y" || v == "N";
            break;
        case T::UtcTimestamp:
            good = v.size() >= 17 && v[8] == '-' && date(v.substr(0, 8)) && timeOfDay(v.substr(9));
            break;
        case T::UtcTimeOnly:
            good = timeOfDay(v);
            break;
        case T::Date:
            good = date(v);
            break;
        case T::MonthYear:
            good = monthYear(v);
            break;
        case T::Data:
            return {};  // raw bytes: no format, no enumeration
        case T::MultipleValue:
            for (std::size_t at = 0; at <= v.size();) {
                std::size_t space = std::min(v.find(' ', at), v.size());
                if (!dict->allows(tag, v.substr(at, space - at))) return {5, tag};
                at = space + 1;
            }
            return {};
        default:
            break;
    }
    if (!good) return {6, tag};
    if (!dict->allows(tag, v)) return {5, tag};
    return {};
}

Validator::Fault Validator::place(int tag, std::string_view v) {
    for (;;) {
        Level& l = levels.back();
        int depth = static_cast<int>(levels.size()) - 1;
        const Dictionary::Scope& s = dict->scope(l.scope);
        if (l.countTag != 0 && tag == l.delimiter) {
            // A new entry: the one before it must be complete.
            if (l.entries > 0)
                if (int need = missing(depth, l.scope)) return {1, need};
            if (++l.entries > l.expected) return {16, l.countTag};
            clear(depth);
        } else if (Dictionary::has(s, tag)) {
            if (l.countTag != 0 && l.entries == 0) return {15, tag};
            if (seen(depth, tag)) return {13, tag};
        } else if (l.countTag != 0) {
            // Not of this group: the group ends here.
            Fault f = closeGroup();
            if (!f.ok()) return f;
            continue;
        } else {
            // An entry after its group's count was used up (or announced as 0).
            for (const Dictionary::Group& g : s.groups)
                if (g.delimiter == tag && seen(depth, g.countTag)) return {16, g.countTag};
            return {2, tag};
        }
        mark(depth, tag);
        Dictionary::Type type = dict->type(tag);
        // Only a number can count a group: most fields skip the search of the scope's groups.
        if (type != Dictionary::Type::Unsigned && type != Dictionary::Type::Int) return {};
        for (const Dictionary::Group& g : s.groups) {
            if (g.countTag != tag) continue;
            long n = number(v);
            if (n < 0) return {6, tag};
            if (n > 0) levels.push_back({g.scope, tag, g.delimiter, n, 0});
            break;
        }
        return {};
    }
}

int Validator::headerTagFrom(std::string_view msg, std::size_t pos) const {
    while (pos < msg.size()) {
        std::size_t eq = msg.find('=', pos);
        std::size_t end = std::min(msg.find(SOH, pos), msg.size());
        if (eq == std::string_view::npos || eq > end) return 0;
        long tag = number(msg.substr(pos, eq - pos));
        if (tag > 0 && dict->inHeader(static_cast<int>(tag))) return static_cast<int>(tag);
        pos = end + 1;
    }
    return 0;
}

Validator::Fault Validator::check(std::string_view msg) {
    levels.clear();
    levels.push_back({dict->headerScope(), 0, 0, 0, 0});
    clear(0);
    const int section[3] = {dict->headerScope(), -1, dict->trailerScope()};
    int body = -1;
    int phase = 0;  // header, body, trailer
    long lengthBefore = -1;
    std::size_t pos = 0;
    while (pos < msg.size()) {
        long tag = 0;
        bool negative = msg[pos] == '-';
        std::size_t p = negative ? pos + 1 : pos;
        std::size_t first = p;
        while (p < msg.size() && msg[p] >= '0' && msg[p] <= '9') {
            if (tag < 100000000L) tag = tag * 10 + (msg[p] - '0');
            ++p;
        }
        if (p == first || p >= msg.size() || msg[p] != '=') return {0, noTag};
        // A negative tag is named as written.
        if (negative) return {0, static_cast<int>(-tag)};
        ++p;
        int t = static_cast<int>(tag);
        Dictionary::Type type = dict->type(t);
        std::string_view v;
        if (type == Dictionary::Type::Data && lengthBefore >= 0) {
            // Raw data may hold SOH: its length field says where it ends.
            if (msg.size() - p < static_cast<std::size_t>(lengthBefore) + 1 ||
                msg[p + static_cast<std::size_t>(lengthBefore)] != SOH)
                return {6, t};
            v = msg.substr(p, static_cast<std::size_t>(lengthBefore));
            pos = p + static_cast<std::size_t>(lengthBefore) + 1;
        } else {
            std::size_t end = std::min(msg.find(SOH, p), msg.size());
            v = msg.substr(p, end - p);
            pos = end + 1;
        }
        if (type == Dictionary::Type::None) return {0, t};
        if (v.empty()) return {4, t};
        Fault f;
        if (t == 35) {
            // Its enumeration is the dictionary's messages, looked up here.
            body = dict->messageScope(v);
            if (body < 0) return {11, t};
        } else {
            f = value(t, v);
            if (!f.ok()) return f;
        }
        lengthBefore = type == Dictionary::Type::Unsigned ? number(v) : -1;
        int where = dict->inHeader(t) ? 0 : dict->inTrailer(t) ? 2 : 1;
        if (where < phase) return {14, t};
        while (where > phase) {
            // Leaving a section: its groups closed, its required tags there.
            f = closeAll();
            if (!f.ok()) return f;
            int left = phase == 1 ? body : section[phase];
            if (left < 0) return {1, 35};
            if (int need = missing(0, left)) {
                int late = phase == 0 && where == 1 ? headerTagFrom(msg, pos) : 0;
                return late != 0 ? Fault{14, late} : Fault{1, need};
            }
            ++phase;
            levels[0].scope = phase == 1 ? body : section[phase];
            if (levels[0].scope < 0) return {1, 35};
        }
        f = place(t, v);
        if (!f.ok()) return f;
    }
    Fault f = closeAll();
    if (!f.ok()) return f;
    for (; phase < 3; ++phase) {
        int scope = phase == 1 ? body : section[phase];
        if (scope < 0) return {1, 35};
        if (int need = missing(0, scope)) return {1, need};
    }
    return {};
}
