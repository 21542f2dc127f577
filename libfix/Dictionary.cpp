#include "Dictionary.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>

namespace {

// Above this a field number is refused: the per-tag tables are sized by the highest one.
constexpr long highestTag = 99999;
// The shipped dictionaries are below 1 MiB.
constexpr off_t maxFileSize = off_t{64} << 20;
// Components nested deeper than this are taken for a cycle the name check missed.
constexpr int deepestComponent = 64;

Dictionary::Type typeOf(const std::string& t) {
    using T = Dictionary::Type;
    if (t == "INT") return T::Int;
    if (t == "LENGTH" || t == "NUMINGROUP" || t == "SEQNUM" || t == "TAGNUM") return T::Unsigned;
    if (t == "DAYOFMONTH") return T::DayOfMonth;
    if (t == "FLOAT" || t == "QTY" || t == "PRICE" || t == "PRICEOFFSET" || t == "AMT" ||
        t == "PERCENTAGE")
        return T::Float;
    if (t == "CHAR") return T::Char;
    if (t == "BOOLEAN") return T::Boolean;
    if (t == "UTCTIMESTAMP") return T::UtcTimestamp;
    if (t == "UTCTIMEONLY") return T::UtcTimeOnly;
    if (t == "UTCDATE" || t == "UTCDATEONLY" || t == "LOCALMKTDATE") return T::Date;
    if (t == "MONTHYEAR") return T::MonthYear;
    if (t == "DATA") return T::Data;
    if (t == "MULTIPLEVALUESTRING" || t == "MULTIPLESTRINGVALUE" || t == "MULTIPLECHARVALUE")
        return T::MultipleValue;
    return T::String;
}

bool named(const xmlNode* n, const char* name) {
    return n->type == XML_ELEMENT_NODE &&
           std::strcmp(reinterpret_cast<const char*>(n->name), name) == 0;
}

std::string attr(const xmlNode* n, const char* name) {
    xmlChar* v = xmlGetProp(n, reinterpret_cast<const xmlChar*>(name));
    if (v == nullptr) return std::string();
    std::string s(reinterpret_cast<const char*>(v));
    xmlFree(v);
    return s;
}

const xmlNode* child(const xmlNode* n, const char* name) {
    for (const xmlNode* c = n->children; c != nullptr; c = c->next)
        if (named(c, name)) return c;
    return nullptr;
}

void setBit(Dictionary::Scope& s, int tag) {
    auto word = static_cast<std::uint32_t>(tag >> 6);
    if (s.allowed.empty()) {
        s.first = word;
        s.allowed.push_back(0);
    } else if (word < s.first) {
        s.allowed.insert(s.allowed.begin(), s.first - word, 0);
        s.first = word;
    } else if (word - s.first >= s.allowed.size()) {
        s.allowed.resize(word - s.first + 1, 0);
    }
    s.allowed[word - s.first] |= std::uint64_t{1} << (tag & 63);
}

// The ApplVerID (1128) enumeration: the value that names each application version.
std::string applVerOf(const std::string& version) {
    static const std::pair<const char*, const char*> known[] = {
        {"FIX.4.0", "2"}, {"FIX.4.1", "3"}, {"FIX.4.2", "4"},    {"FIX.4.3", "5"},
        {"FIX.4.4", "6"}, {"FIX.5.0", "7"}, {"FIX.5.0SP1", "8"}, {"FIX.5.0SP2", "9"},
    };
    for (const auto& [v, id] : known)
        if (version == v) return id;
    return std::string();
}

bool sessionMessage(const std::string& msgType) {
    return msgType.size() == 1 && std::strchr("012345A", msgType[0]) != nullptr;
}

}  // namespace

// Walks the document once the fields are known; `path` prefixes every error.
class Dictionary::Reader {
  public:
    Reader(Dictionary& d, const std::string& p) : dict(d), path(p) {}

    void read(const xmlNode* root) {
        if (!named(root, "fix")) fail("the root element is not <fix>");
        std::string major = attr(root, "major"), minor = attr(root, "minor");
        std::string type = attr(root, "type"), pack = attr(root, "servicepack");
        if (major.empty() || minor.empty()) fail("<fix> has no major and minor version");
        if (!type.empty() && type != "FIX" && type != "FIXT")
            fail("<fix> type '" + type + "' is neither FIX nor FIXT");
        if (pack.find_first_not_of("0123456789") != std::string::npos)
            fail("<fix> servicepack '" + pack + "' is not a number");
        dict.version = (type == "FIXT" ? "FIXT." : "FIX.") + major + "." + minor;
        if (!pack.empty() && pack.find_first_not_of('0') != std::string::npos)
            dict.version += "SP" + pack;
        dict.applVer = applVerOf(dict.version);
        const xmlNode* fields = child(root, "fields");
        if (fields == nullptr) fail("no <fields>");
        readFields(fields);
        if (const xmlNode* comps = child(root, "components"))
            for (const xmlNode* c = comps->children; c != nullptr; c = c->next)
                if (named(c, "component")) components[attr(c, "name")] = c;
        const xmlNode* header = child(root, "header");
        const xmlNode* trailer = child(root, "trailer");
        const xmlNode* messages = child(root, "messages");
        if (header == nullptr || trailer == nullptr || messages == nullptr)
            fail("no <header>, <trailer> or <messages>");
        // Ids 0 and 1 before any group takes one.
        int headerId = newScope(), trailerId = newScope();
        expand(headerId, header, true, "the header", 0, 0);
        expand(trailerId, trailer, true, "the trailer", 0, 0);
        for (const xmlNode* m = messages->children; m != nullptr; m = m->next) {
            if (!named(m, "message")) continue;
            std::string type = attr(m, "msgtype");
            std::string where = "message " + attr(m, "name");
            if (type.empty()) fail(where + " has no msgtype");
            int id = newScope();
            dict.messages.emplace_back(type, id);
            expand(id, m, true, where, 0, 0);
        }
        std::sort(dict.messages.begin(), dict.messages.end());
        dict.headerAll = everything(dict.headerScope());
        dict.trailerAll = everything(dict.trailerScope());
        for (Scope& s : dict.scopes) s.allowed.shrink_to_fit();
    }

  private:
    [[noreturn]] void fail(const std::string& problem) {
        throw DictionaryError(path + ": " + problem);
    }

    void readFields(const xmlNode* fields) {
        std::vector<std::pair<int, const xmlNode*>> found;
        int top = 0;
        for (const xmlNode* f = fields->children; f != nullptr; f = f->next) {
            if (!named(f, "field")) continue;
            std::string number = attr(f, "number"), name = attr(f, "name");
            char* end = nullptr;
            long n = std::strtol(number.c_str(), &end, 10);
            if (number.empty() || *end != '\0' || n <= 0 || n > highestTag)
                fail("field " + name + " has no usable number '" + number + "'");
            if (name.empty()) fail("field " + number + " has no name");
            found.emplace_back(static_cast<int>(n), f);
            top = std::max(top, static_cast<int>(n));
        }
        if (found.empty()) fail("<fields> defines no field");
        dict.types.assign(top + 1, Type::None);
        dict.names.assign(top + 1, std::string());
        dict.enumRange.assign(top + 1, {0, 0});
        dict.enumSets.assign(top + 1, ByteSet());
        for (const auto& [tag, f] : found) {
            dict.types[tag] = typeOf(attr(f, "type"));
            dict.names[tag] = attr(f, "name");
            dict.byName.emplace_back(dict.names[tag], tag);
            auto begin = static_cast<std::uint32_t>(dict.enumValues.size());
            for (const xmlNode* v = f->children; v != nullptr; v = v->next)
                if (named(v, "value")) dict.enumValues.push_back(attr(v, "enum"));
            // Sorted, so a value is found by binary search.
            std::sort(dict.enumValues.begin() + begin, dict.enumValues.end());
            dict.enumRange[tag] = {begin, static_cast<std::uint32_t>(dict.enumValues.size())};
            dict.enumSets[tag] = byteSet(dict.enumValues.begin() + begin, dict.enumValues.end());
        }
        std::sort(dict.byName.begin(), dict.byName.end());
    }

    template <class It>
    static ByteSet byteSet(It first, It last) {
        ByteSet set;
        if (first == last) return set;
        bool chars = true, numbers = true;
        for (It v = first; v != last; ++v) {
            chars = chars && v->size() == 1;
            numbers = numbers && !v->empty() && v->size() <= 3 &&
                      v->find_first_not_of("0123456789") == std::string::npos &&
                      std::stoi(*v) < 256 && (v->size() == 1 || (*v)[0] != '0');
        }
        if (!chars && !numbers) return set;
        set.used = true;
        set.numbers = !chars;
        for (It v = first; v != last; ++v) {
            int b = chars ? static_cast<unsigned char>((*v)[0]) : std::stoi(*v);
            set.bits[b >> 6] |= std::uint64_t{1} << (b & 63);
        }
        return set;
    }

    int newScope() {
        dict.scopes.emplace_back();
        order.emplace_back();
        return static_cast<int>(dict.scopes.size()) - 1;
    }

    void add(int scope, int tag, bool required) {
        setBit(dict.scopes[scope], tag);
        order[scope].push_back(tag);
        if (required) dict.scopes[scope].required.push_back(tag);
    }

    // Adds the fields, groups and components below `node` to `scope`; `required` is false
    // inside an optional component, `level` counts the groups around the scope.
    void expand(int scope, const xmlNode* node, bool required, const std::string& where, int level,
                int nesting) {
        if (nesting > deepestComponent) fail(where + ": components nested too deep");
        dict.depth = std::max(dict.depth, level);
        for (const xmlNode* c = node->children; c != nullptr; c = c->next) {
            if (c->type != XML_ELEMENT_NODE) continue;
            bool req = required && attr(c, "required") == "Y";
            std::string name = attr(c, "name");
            if (named(c, "field")) {
                int tag = dict.tagOf(name);
                if (tag == 0) fail(where + " names unknown field '" + name + "'");
                add(scope, tag, req);
            } else if (named(c, "group")) {
                if (name.empty()) fail(where + " has a group without a count field");
                int count = dict.tagOf(name);
                if (count == 0)
                    fail(where + ": group '" + name + "' has no count field of that name");
                if (dict.types[count] != Type::Int && dict.types[count] != Type::Unsigned)
                    fail(where + ": group count field '" + name + "' is not a number");
                add(scope, count, req);
                int inner = newScope();
                expand(inner, c, true, where + ", group " + name, level + 1, nesting + 1);
                if (order[inner].empty()) fail(where + ": group '" + name + "' has no fields");
                dict.scopes[scope].groups.push_back({count, order[inner].front(), inner});
            } else if (named(c, "component")) {
                auto found = components.find(name);
                if (found == components.end())
                    fail(where + " names unknown component '" + name + "'");
                if (std::find(stack.begin(), stack.end(), name) != stack.end())
                    fail("component '" + name + "' contains itself");
                stack.push_back(name);
                expand(scope, found->second, req, where, level, nesting + 1);
                stack.pop_back();
            }
        }
    }

    // The tags of a scope and of every group below it.
    Scope everything(int id) {
        Scope all = dict.scopes[id];
        for (const Group& g : dict.scopes[id].groups) {
            Scope inner = everything(g.scope);
            for (std::size_t w = 0; w < inner.allowed.size(); ++w)
                for (int bit = 0; bit < 64; ++bit)
                    if (inner.allowed[w] >> bit & 1)
                        setBit(all, static_cast<int>((inner.first + w) * 64 + bit));
        }
        return all;
    }

    Dictionary& dict;
    const std::string& path;
    std::map<std::string, const xmlNode*> components;
    std::vector<std::vector<int>> order;  // tags of each scope in dictionary order
    std::vector<std::string> stack;       // components being expanded
};

Dictionary::Dictionary(const std::string& path) {
    static std::once_flag init;
    std::call_once(init, [] { xmlInitParser(); });
    {
        std::ifstream probe(path);
        if (!probe.is_open())
            throw DictionaryError(path + ": cannot open: " + std::strerror(errno));
    }
    // A device or a pipe named by mistake would be read without end.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > maxFileSize)
        throw DictionaryError(path + ": not a regular file of at most " +
                              std::to_string(maxFileSize >> 20) + " MiB");
    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (ctxt == nullptr) throw DictionaryError(path + ": no memory for the XML parser");
    // No network, and no messages on standard error: the error goes into the exception.
    xmlDocPtr doc = xmlCtxtReadFile(ctxt, path.c_str(), nullptr,
                                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr) {
        const xmlError* e = xmlCtxtGetLastError(ctxt);
        std::string why = e != nullptr && e->message != nullptr ? e->message : "unreadable";
        while (!why.empty() && why.back() == '\n') why.pop_back();
        int line = e != nullptr ? e->line : 0;
        xmlFreeParserCtxt(ctxt);
        throw DictionaryError(path + ": not XML (line " + std::to_string(line) + ": " + why + ")");
    }
    try {
        Reader(*this, path).read(xmlDocGetRootElement(doc));
    } catch (...) {
        xmlFreeDoc(doc);
        xmlFreeParserCtxt(ctxt);
        throw;
    }
    xmlFreeDoc(doc);
    xmlFreeParserCtxt(ctxt);
}

std::shared_ptr<const Dictionary> Dictionary::load(const std::string& path) {
    struct Entry {
        std::shared_ptr<const Dictionary> dict;
        off_t size;
        struct timespec mtime;
    };
    static std::mutex lock;
    static std::map<std::string, Entry> cache;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        throw DictionaryError(path + ": cannot open: " + std::strerror(errno));
    std::lock_guard<std::mutex> hold(lock);
    auto found = cache.find(path);
    if (found != cache.end() && found->second.size == st.st_size &&
        found->second.mtime.tv_sec == st.st_mtim.tv_sec &&
        found->second.mtime.tv_nsec == st.st_mtim.tv_nsec)
        return found->second.dict;
    auto dict = std::make_shared<const Dictionary>(path);
    cache[path] = Entry{dict, st.st_size, st.st_mtim};
    return dict;
}

std::shared_ptr<const Dictionary> Dictionary::combine(const Dictionary& transport,
                                                      const Dictionary& app) {
    std::shared_ptr<Dictionary> made(new Dictionary());
    Dictionary& d = *made;
    d.version = transport.version;
    d.applVer = app.applVer;
    const int top = std::max(transport.maxTag(), app.maxTag());
    d.types.assign(top + 1, Type::None);
    d.names.assign(top + 1, std::string());
    d.enumRange.assign(top + 1, {0, 0});
    d.enumSets.assign(top + 1, ByteSet());
    for (int tag = 1; tag <= top; ++tag) {
        const std::string &t = transport.name(tag), &a = app.name(tag);
        if (!t.empty() && !a.empty() && t != a)
            throw DictionaryError("the transport dictionary " + transport.version +
                                  " names field " + std::to_string(tag) + " " + t + ", the " +
                                  app.version + " dictionary names it " + a);
        // The transport's own fields keep its definition: header and session messages are its.
        const Dictionary* from = !t.empty() ? &transport : !a.empty() ? &app : nullptr;
        if (from == nullptr) continue;
        d.types[tag] = from->types[tag];
        d.names[tag] = from->names[tag];
        d.byName.emplace_back(d.names[tag], tag);
        auto [begin, end] = from->enumRange[tag];
        auto first = static_cast<std::uint32_t>(d.enumValues.size());
        d.enumValues.insert(d.enumValues.end(), from->enumValues.begin() + begin,
                            from->enumValues.begin() + end);
        d.enumRange[tag] = {first, static_cast<std::uint32_t>(d.enumValues.size())};
        d.enumSets[tag] = from->enumSets[tag];
    }
    std::sort(d.byName.begin(), d.byName.end());

    // Scopes are copied with their groups, renumbered; header and trailer keep ids 0 and 1.
    d.scopes.resize(2);
    std::function<int(const Dictionary&, int, int)> copy = [&](const Dictionary& from, int id,
                                                               int at) {
        if (at < 0) {
            at = static_cast<int>(d.scopes.size());
            d.scopes.emplace_back();
        }
        d.scopes[at] = from.scopes[id];
        for (std::size_t g = 0; g < from.scopes[id].groups.size(); ++g) {
            int inner = copy(from, from.scopes[id].groups[g].scope, -1);
            d.scopes[at].groups[g].scope = inner;
        }
        return at;
    };
    copy(transport, transport.headerScope(), d.headerScope());
    copy(transport, transport.trailerScope(), d.trailerScope());
    for (const auto& [type, id] : transport.messages)
        if (sessionMessage(type)) d.messages.emplace_back(type, copy(transport, id, -1));
    for (const auto& [type, id] : app.messages)
        if (!sessionMessage(type)) d.messages.emplace_back(type, copy(app, id, -1));
    std::sort(d.messages.begin(), d.messages.end());
    d.headerAll = transport.headerAll;
    d.trailerAll = transport.trailerAll;
    d.depth = std::max(transport.depth, app.depth);
    return made;
}

bool Dictionary::allows(int tag, std::string_view value) const {
    if (tag <= 0 || tag > maxTag()) return false;
    auto [begin, end] = enumRange[tag];
    if (begin == end) return true;
    const ByteSet& set = enumSets[tag];
    if (set.used) {
        int b = -1;
        if (!set.numbers) {
            if (value.size() == 1) b = static_cast<unsigned char>(value[0]);
        } else if (!value.empty() && value.size() <= 3 && (value.size() == 1 || value[0] != '0')) {
            b = 0;
            for (char c : value) b = c >= '0' && c <= '9' && b >= 0 ? b * 10 + (c - '0') : -1;
            if (b > 255) b = -1;
        }
        return b >= 0 && (set.bits[b >> 6] >> (b & 63) & 1) != 0;
    }
    auto first = enumValues.begin() + begin, last = enumValues.begin() + end;
    auto it = std::lower_bound(first, last, value,
                               [](const std::string& e, std::string_view v) { return e < v; });
    return it != last && *it == value;
}

const std::string& Dictionary::name(int tag) const {
    static const std::string none;
    return tag > 0 && tag <= maxTag() ? names[tag] : none;
}

int Dictionary::tagOf(std::string_view name) const {
    auto it = std::lower_bound(byName.begin(), byName.end(), name,
                               [](const auto& e, std::string_view n) { return e.first < n; });
    return it != byName.end() && it->first == name ? it->second : 0;
}

int Dictionary::messageScope(std::string_view msgType) const {
    auto it = std::lower_bound(messages.begin(), messages.end(), msgType,
                               [](const auto& e, std::string_view t) { return e.first < t; });
    return it != messages.end() && it->first == msgType ? it->second : -1;
}
