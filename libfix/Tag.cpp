#include "Tag.h"

#include <utility>

#include "Common.h"

Tag::Tag() : tag(0) {}

Tag::Tag(int t, std::string v) : tag(t), value(std::move(v)) {}

Tag::Tag(std::string& v) : tag(0) {
    size_t pos = v.find(equ);
    if (pos != std::string::npos && pos > 0) {
        value = v.substr(pos + 1);
        v.erase(pos);
    }
    tag = cvt.to_int(v);
}

Tag::Tag(const std::string& v) : tag(0) {
    std::string copy = v;
    *this = Tag(copy);
}

Tag::Tag(const Tag& other) : tag(other.tag), value(other.value) {}

Tag& Tag::operator=(const Tag& other) {
    tag = other.tag;
    value = other.value;
    return *this;
}

bool Tag::operator==(const Tag& t) const {
    return tag == t.tag;
}

bool Tag::operator!=(const Tag& t) const {
    return !(*this == t);
}

void Tag::set(std::string& tagValue) {
    size_t pos = tagValue.find(equ);
    if (pos == std::string::npos) {
        value = tagValue;
    } else {
        value = tagValue.substr(pos + 1);
        tagValue.erase(pos);
    }
    tag = cvt.to_int(tagValue);
}

std::string Tag::tagStr() const {
    std::string key(1, soh);
    key += cvt.to_string(tag);
    key += equ;
    return key;
}

std::string Tag::getTagValueStr() const {
    std::string wire = cvt.to_string(tag);
    wire.reserve(wire.size() + value.size() + 2);
    wire += equ;
    wire += value;
    wire += soh;
    return wire;
}
