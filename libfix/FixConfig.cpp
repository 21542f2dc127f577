#include "FixConfig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <mutex>

namespace {

constexpr int logonApplVerTag = 1137;  // DefaultApplVerID

// True when text is a field number: optional blanks, digits, optional blanks, above 0.
bool isFieldNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    std::size_t first = i;
    long number = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) &&
           number < 1000000000L)
        number = number * 10 + (text[i++] - '0');
    if (i == first || number <= 0 || number >= 1000000000L) return false;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    return i == text.size();
}

// An ApplVerID as it stands on the wire: "0" to "10", no leading zero.
bool applVerValue(const std::string& v) {
    return v == "10" || (v.size() == 1 && v[0] >= '0' && v[0] <= '9');
}

std::vector<std::string> splitList(const std::string& list) {
    std::vector<std::string> out;
    std::size_t at = 0;
    for (;;) {
        std::size_t comma = list.find(',', at);
        out.push_back(list.substr(at, comma == std::string::npos ? comma : comma - at));
        if (comma == std::string::npos) return out;
        at = comma + 1;
    }
}

std::string settingAt(const std::string& path, int number) {
    return "Malformed setting in client FIX configuration file " + path + " line " +
           std::to_string(number) + ": ";
}

// Sites of one transport and application version share their combined dictionary; it is
// kept while both dictionaries it was made from are (they stay in Dictionary::load's cache).
std::shared_ptr<const Dictionary> combined(const std::shared_ptr<const Dictionary>& transport,
                                           const std::shared_ptr<const Dictionary>& app) {
    struct Entry {
        std::weak_ptr<const Dictionary> transport, app;
        std::shared_ptr<const Dictionary> made;
    };
    static std::mutex lock;
    static std::vector<Entry> cache;
    std::lock_guard<std::mutex> hold(lock);
    cache.erase(
        std::remove_if(cache.begin(), cache.end(),
                       [](const Entry& e) { return e.transport.expired() || e.app.expired(); }),
        cache.end());
    for (const Entry& e : cache)
        if (e.transport.lock() == transport && e.app.lock() == app) return e.made;
    auto made = Dictionary::combine(*transport, *app);
    cache.push_back({transport, app, made});
    return made;
}

}  // namespace

void FixConfig::readSetting(const std::string& line, int number) {
    std::string text;
    for (char c : line.substr(1))
        if (!std::isspace(static_cast<unsigned char>(c))) text += c;
    if (text == "{rules=standard}") standard = true;
    if (text == "{rules=today}") standard = false;
    if (text == "{rules=standard}" || text == "{rules=today}") return;

    // A line that names who may serve the site, or when, is never a comment: a guard that
    // silently did nothing would let anybody in, a schedule that did would reset at the wrong time.
    const bool strict =
        line.find("role=") != std::string::npos || line.find("allow=") != std::string::npos ||
        line.find("appstall=") != std::string::npos || line.find("zone=") != std::string::npos ||
        line.find("window=") != std::string::npos || line.find("reset=") != std::string::npos ||
        line.find("apps=") != std::string::npos || line.find("standby=") != std::string::npos ||
        line.find("applver=") != std::string::npos ||
        line.find("appdictionary=") != std::string::npos;

    // Several settings: "{rules=standard dictionary=FIX44.xml}", items apart by blanks. A line
    // with anything else in it stays a comment, as every '@' line did before settings existed.
    std::size_t open = line.find(LeftBrace), close = line.find(RightBrace);
    if (open == std::string::npos || close == std::string::npos || close < open) {
        if (strict) throw CfgException("a setting line needs '{' and '}'");
        return;
    }
    if (line.find_first_not_of(" \t\r", close + 1) != std::string::npos) {
        if (strict) throw CfgException("text after '}'");
        return;
    }
    std::string items = line.substr(open + 1, close - open - 1);
    std::string rules, dictionary, role, apps, standbyItem;
    int stall = -1;
    std::string zone = zoneItem, window = windowItem, reset = resetItem;
    bool schedule = false;
    std::string named;
    std::vector<std::string> lists, applVer, appDictionaries;
    std::size_t at = 0;
    while ((at = items.find_first_not_of(" \t", at)) != std::string::npos) {
        std::size_t end = std::min(items.find_first_of(" \t", at), items.size());
        std::string item = items.substr(at, end - at);
        at = end;
        std::size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        if (key == "rules" && (value == "standard" || value == "today")) {
            rules = value;
        } else if (key == "dictionary" && !value.empty()) {
            dictionary = value;
        } else if (key == "role") {
            if (value != "acceptor" && value != "initiator")
                throw CfgException("unknown role '" + value + "' (acceptor or initiator)");
            role = value;
        } else if (key == "apps") {
            if (value != "queues" && value != "jetstream")
                throw CfgException("unknown apps '" + value + "' (queues or jetstream)");
            apps = value;
        } else if (key == "standby") {
            if (value != "yes" && value != "no")
                throw CfgException("unknown standby '" + value + "' (yes or no)");
            standbyItem = value;
        } else if (key == "appstall") {
            if (value.empty() || value.size() > 5 ||
                value.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(value) > 86400)
                throw CfgException("appstall '" + value +
                                   "' is not a number of seconds up to 86400");
            stall = std::stoi(value);
        } else if (key == "zone" || key == "window" || key == "reset") {
            std::string& slot = key == "zone" ? zone : key == "window" ? window : reset;
            if (value.empty()) throw CfgException(key + " is empty");
            if (named.find(" " + key) != std::string::npos)
                throw CfgException(key + " named twice on one line");
            named += " " + key;
            slot = value;
            schedule = true;
        } else if (key == "applver") {
            applVer = splitList(value);
            for (std::size_t i = 0; i < applVer.size(); ++i)
                if (!applVerValue(applVer[i]) || std::find(applVer.begin(), applVer.begin() + i,
                                                           applVer[i]) != applVer.begin() + i)
                    throw CfgException("applver '" + value +
                                       "' is not a list of distinct ApplVerIDs 0 to 10");
        } else if (key == "appdictionary") {
            appDictionaries = splitList(value);
            for (const std::string& name : appDictionaries)
                if (name.empty())
                    throw CfgException("appdictionary '" + value + "' has an empty name");
        } else if (key == "allow") {
            lists.push_back(value);
        } else if (strict) {
            throw CfgException("unknown setting '" + item + "'");
        } else {
            return;
        }
    }
    // The whole line is checked before any of it counts.
    Schedule made;
    if (schedule) {
        try {
            made = Schedule::fromSettings(zone, window, reset);
        } catch (const ScheduleError& e) {
            throw ScheduleRefused(e.what());
        }
    }
    auto before = allowed;
    try {
        for (const std::string& list : lists) readAllowList(list);
    } catch (const CfgException&) {
        allowed = before;
        throw;
    }
    if (!rules.empty()) standard = rules == "standard";
    if (!dictionary.empty()) {
        dictionaryName = dictionary;
        dictionaryLine = number;
    }
    if (!applVer.empty()) {
        applVerItem = applVer;
        applVerLine = number;
    }
    if (!appDictionaries.empty()) {
        appDictionaryNames = appDictionaries;
        appDictionaryLine = number;
    }
    if (stall >= 0) stallSeconds = stall;
    if (!apps.empty()) streams = apps == "jetstream";
    if (!standbyItem.empty()) standbyPair = standbyItem == "yes";
    if (schedule) {
        zoneItem = zone;
        windowItem = window;
        resetItem = reset;
        sched = made;
        scheduleNamed = true;
    }
    if (!role.empty()) siteRole = role == "acceptor" ? Role::Acceptor : Role::Initiator;
}

void FixConfig::readAllowList(const std::string& list) {
    if (list.empty()) throw CfgException("empty allow list");
    std::size_t at = 0;
    for (;;) {
        std::size_t comma = list.find(Comma, at);
        std::string entry = list.substr(at, comma == std::string::npos ? comma : comma - at);
        const std::string refused =
            "allow list entry '" + entry + "' is not an IPv4 address or prefix";
        std::size_t slash = entry.find('/');
        std::string address = entry.substr(0, slash);
        int bits = 32;
        if (slash != std::string::npos) {
            std::string length = entry.substr(slash + 1);
            if (length.empty() || length.size() > 2 ||
                length.find_first_not_of("0123456789") != std::string::npos)
                throw CfgException(refused);
            bits = std::stoi(length);
            if (bits > 32) throw CfgException(refused);
        }
        in_addr parsed{};
        // inet_pton takes only the full dotted form, so "10.1" is refused, not read as 10.0.0.1.
        if (address.empty() || inet_pton(AF_INET, address.c_str(), &parsed) != 1)
            throw CfgException(refused);
        std::uint32_t net = ntohl(parsed.s_addr);
        std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t(0) << (32 - bits);
        // 10.1.2.3/16 is most likely a typing error for one address or for another prefix.
        if ((net & ~mask) != 0)
            throw CfgException("allow list entry '" + entry + "' has bits set beyond its prefix");
        allowed.emplace_back(net, mask);
        if (comma == std::string::npos) return;
        at = comma + 1;
    }
}

bool FixConfig::allows(const std::string& address) const {
    if (allowed.empty()) return true;
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    std::uint32_t host = ntohl(parsed.s_addr);
    for (const auto& [net, mask] : allowed)
        if ((host & mask) == net) return true;
    return false;
}

std::string FixConfig::installedDictionaries() {
    // Found from the program's own place, so any prefix (and the build tree) works unchanged.
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "/usr/share/fixgate/dict";
    std::string dir(exe, static_cast<std::size_t>(n));
    dir.erase(dir.rfind('/'));
    return dir + "/../share/fixgate/dict";
}

std::string FixConfig::dictionaryPath(const std::string& name) {
    if (name[0] == '/') return name;
    // Beside the site configurations first, then the dictionaries installed with the programs.
    std::string local = "./cfg/" + name;
    if (access(local.c_str(), F_OK) == 0) return local;
    std::string installed = installedDictionaries() + "/" + name;
    if (access(installed.c_str(), F_OK) == 0) return installed;
    return local;
}

std::shared_ptr<const Dictionary> FixConfig::readDictionary(const std::string& name,
                                                            const std::string& path) const {
    std::string file = dictionaryPath(name);
    if (name[0] != '/' && access(file.c_str(), F_OK) != 0)
        throw DictionaryRefused("FIX data dictionary " + name + " named in " + path +
                                " is neither in ./cfg/ nor in " + installedDictionaries());
    try {
        return Dictionary::load(file);
    } catch (const DictionaryError& e) {
        throw DictionaryRefused("FIX data dictionary named in " + path + " refused: " + e.what());
    }
}

void FixConfig::loadDictionary(const std::string& path) {
    dict.reset();
    byApplVer.clear();
    if (transport && dictionaryName.empty() != appDictionaryNames.empty())
        throw DictionaryRefused(
            settingAt(path, dictionaryName.empty() ? appDictionaryLine : dictionaryLine) +
            "a FIXT site names its transport dictionary (dictionary=) and its application "
            "dictionaries (appdictionary=) together");
    auto loaded = readDictionary(dictionaryName, path);
    std::string begin = getHeaderTagDefinition(TagBeginString);
    if (!begin.empty() && begin != loaded->beginString())
        throw DictionaryRefused("FIX data dictionary " + dictionaryPath(dictionaryName) +
                                " is for " + loaded->beginString() +
                                ", the site's BeginString in " + path + " is " + begin);
    if (!transport) {
        dict = loaded;
        return;
    }
    for (const std::string& name : appDictionaryNames) {
        auto app = readDictionary(name, path);
        const std::string& id = app->applVerID();
        const std::string named = "FIX data dictionary " + name + " named by appdictionary= in " +
                                  path + " line " + std::to_string(appDictionaryLine);
        if (id.empty())
            throw DictionaryRefused(named + " is for " + app->beginString() +
                                    ", not an application version");
        if (dictionaryFor(id) != nullptr)
            throw DictionaryRefused(named + " is a second one for " + app->beginString());
        try {
            byApplVer.emplace_back(id, combined(loaded, app));
        } catch (const DictionaryError& e) {
            byApplVer.clear();
            throw DictionaryRefused(named + " does not go with " + dictionaryName + ": " +
                                    e.what());
        }
    }
    for (const std::string& id : applVers)
        if (dictionaryFor(id) == nullptr) {
            byApplVer.clear();
            throw DictionaryRefused(
                settingAt(path, applVerLine != 0 ? applVerLine : appDictionaryLine) + "ApplVerID " +
                id + " has no application dictionary among appdictionary=");
        }
    dict = dictionaryFor(defaultApplVerID());
}

void FixConfig::settleApplVer(const std::string& path) {
    std::string begin = getHeaderTagDefinition(TagBeginString);
    transport = begin.rfind("FIXT.", 0) == 0;
    applVers.clear();
    if (!transport) {
        // Application versions belong to FIXT: on a FIX 4.x site they would be silently unused.
        const std::string site =
            begin.empty() ? "names no BeginString" : "has BeginString " + begin + ", not FIXT";
        if (applVerLine != 0)
            throw CfgException(settingAt(path, applVerLine) + "applver= on a site that " + site);
        if (appDictionaryLine != 0)
            throw CfgException(settingAt(path, appDictionaryLine) +
                               "appdictionary= on a site that " + site);
        return;
    }
    std::string logon1137;
    for (const Tag& field : logon)
        if (field.tag == logonApplVerTag && !field.value.empty()) {
            logon1137 = field.value;
            break;
        }
    if (applVerItem.empty()) {
        if (!logon1137.empty() && !applVerValue(logon1137))
            throw CfgException("Malformed line in client FIX configuration file " + path +
                               " line " + std::to_string(logonApplVerLine) +
                               ": DefaultApplVerID (1137) '" + logon1137 +
                               "' is not an ApplVerID 0 to 10");
        applVers = {logon1137.empty() ? std::string("9") : logon1137};
        return;
    }
    // What our Logon announces must be what the site takes for its default.
    if (!logon1137.empty() && logon1137 != applVerItem.front())
        throw CfgException(settingAt(path, applVerLine) + "the first applver value " +
                           applVerItem.front() +
                           " is the DefaultApplVerID, but the Logon template (line " +
                           std::to_string(logonApplVerLine) + ") gives 1137=" + logon1137);
    applVers = applVerItem;
}

const std::string& FixConfig::defaultApplVerID() const {
    static const std::string none;
    return applVers.empty() ? none : applVers.front();
}

std::shared_ptr<const Dictionary> FixConfig::dictionaryFor(const std::string& applVerID) const {
    if (!transport) return dict;
    for (const auto& [id, d] : byApplVer)
        if (id == applVerID) return d;
    return nullptr;
}

FixConfig::FixConfig(const std::string& client) {
    load(client);
}

void FixConfig::load(const std::string& client) {
    // The name may come from a counterparty's Logon: it must not lead out of ./cfg/.
    if (client.empty() || client.find('/') != std::string::npos)
        throw CfgException("Fail to open client FIX configuration file.");
    const std::string path = "./cfg/" + client + ".fix";
    std::ifstream in(path);
    if (!in.is_open()) throw CfgException("Fail to open client FIX configuration file.");

    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty()) continue;
        if (line[0] == Setting) {
            auto where = [&] { return settingAt(path, number); };
            try {
                readSetting(line, number);
            } catch (const ScheduleRefused& e) {
                throw ScheduleRefused(where() + e.what());
            } catch (const CfgException& e) {
                throw CfgException(where() + e.what());
            }
            continue;
        }
        std::list<Tag>* target = templateFor(line[0]);
        if (target == nullptr) continue;
        try {
            std::size_t length = line.size();
            if (line[length - 1] == '\r') --length;
            if (length > maxLineLength)
                throw CfgException("longer than " + std::to_string(maxLineLength) + " characters");
            std::list<Tag> fields;
            loadFixMsgDefinition(fields, line.c_str());
            if (target == &logon && logonApplVerLine == 0)
                for (const Tag& field : fields)
                    if (field.tag == logonApplVerTag) logonApplVerLine = number;
            target->splice(target->end(), fields);
        } catch (const CfgException& e) {
            throw CfgException("Malformed line in client FIX configuration file " + path +
                               " line " + std::to_string(number) + ": " + e.what());
        }
    }
    settleApplVer(path);
    // Read whole or not at all: a session never starts with a half-read dictionary.
    if (!dictionaryName.empty() || !appDictionaryNames.empty()) loadDictionary(path);
}

void FixConfig::loadFixMsgDefinition(std::list<Tag>& tagList, const char* line) {
    std::string text(line);
    std::size_t open = text.find(LeftBrace);
    std::size_t close = text.find(RightBrace);
    // Without braces the marker would become part of the first field ("5" a field numbered 5),
    // so such a line is refused instead of putting a stray field on the wire.
    if (open == std::string::npos) throw CfgException("no '{'");
    if (close == std::string::npos || close < open) throw CfgException("'{' without a closing '}'");
    text.erase(close);
    text.erase(0, open + 1);
    if (text.find_first_not_of(" \t") == std::string::npos) return;

    // Cut at each ',' until nothing is left; a trailing ',' adds no item.
    std::list<Tag> parsed;
    while (!text.empty()) {
        std::size_t comma = text.find(Comma);
        std::string item = text.substr(0, comma);
        text.erase(0, comma == std::string::npos ? std::string::npos : comma + 1);
        std::string number = item.substr(0, item.find('='));
        if (item.empty()) throw CfgException("empty item");
        if (!isFieldNumber(number)) throw CfgException("item '" + item + "' has no field number");
        parsed.emplace_back(item);
    }
    tagList.splice(tagList.end(), parsed);
}

void FixConfig::getMsgTemplate(std::list<Tag>& tagList, char msgType) const {
    tagList = header;
    const std::list<Tag>* body = bodyTemplate(msgType);
    if (body == nullptr) return;
    std::list<Tag> copy = *body;
    tagList.splice(tagList.end(), copy);
}

const std::list<Tag>* FixConfig::bodyTemplate(char msgType) const {
    return msgType == Header ? nullptr : templateFor(msgType);
}

std::string FixConfig::getHeaderTagDefinition(int t) const {
    for (const Tag& field : header)
        if (field.tag == t) return field.value;
    return std::string();
}

std::list<Tag>* FixConfig::templateFor(char marker) {
    return const_cast<std::list<Tag>*>(static_cast<const FixConfig*>(this)->templateFor(marker));
}

const std::list<Tag>* FixConfig::templateFor(char marker) const {
    switch (marker) {
        case Header:
            return &header;
        case Logon:
            return &logon;
        case Heartbeat:
            return &heartbeat;
        case Testreq:
            return &testreq;
        case Resendreq:
            return &resendreq;
        case Reject:
            return &reject;
        case Seqreset:
            return &seqreset;
        case Logout:
            return &logout;
        default:
            return nullptr;
    }
}
