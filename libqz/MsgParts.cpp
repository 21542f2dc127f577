#include "MsgParts.h"

#include <algorithm>
#include <climits>
#include <stdexcept>

#include "MsgQueue.h"

namespace {

const std::string prefix = "PART ";

// A decimal number from 1 to INT_MAX at text[at], ended by `end`; moves `at` past the ending.
bool number(const std::string& text, std::size_t& at, char end, int& value) {
    long long n = 0;
    std::size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        n = n * 10 + (text[at++] - '0');
        if (n > INT_MAX) return false;
    }
    if (at == start || n == 0 || at == text.size() || text[at] != end) return false;
    ++at;
    value = static_cast<int>(n);
    return true;
}

}  // namespace

int MsgParts::count(std::size_t length) {
    return static_cast<int>((length + partText - 1) / partText);
}

std::string MsgParts::part(const std::string& site, int seq, const std::string& text, int k) {
    std::string p = prefix + std::to_string(seq) + " " + std::to_string(k) + "/" +
                    std::to_string(count(text.size())) + " " + site + "\n";
    std::size_t from = static_cast<std::size_t>(k - 1) * partText;
    std::size_t length = std::min(partText, text.size() - from);
    if (p.size() + length > static_cast<std::size_t>(maxMsgText))
        throw std::length_error("The part header of site [" + site + "] leaves no room.");
    p.append(text, from, length);
    return p;
}

bool MsgParts::isPart(const std::string& text) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool MsgParts::parse(const std::string& text, Header& into) {
    if (!isPart(text)) return false;
    std::size_t at = prefix.size();
    Header h;
    if (!number(text, at, ' ', h.seq) || !number(text, at, '/', h.k) ||
        !number(text, at, ' ', h.n) || h.k > h.n)
        return false;
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos || end == at) return false;
    h.site = text.substr(at, end - at);
    h.slice = end + 1;
    into = std::move(h);
    return true;
}

MsgParts::Taken MsgParts::take(const std::string& part, std::string& whole) {
    Header h;
    if (!parse(part, h)) return Taken::Stray;
    if (h.k == 1) {
        open[h.site] = Open{h.seq, 1, h.n, std::string()};
    }
    auto it = open.find(h.site);
    if (it == open.end()) return Taken::Stray;
    Open& o = it->second;
    if (o.seq != h.seq || o.n != h.n || o.next != h.k) {
        open.erase(it);
        return Taken::Stray;
    }
    o.text.append(part, h.slice, std::string::npos);
    if (h.k < h.n) {
        ++o.next;
        return Taken::More;
    }
    whole = std::move(o.text);
    open.erase(it);
    return Taken::Whole;
}
