// Dictionary: a FIX data dictionary (FIX 4.0 to 5.0 SP2, and the FIXT.1.1 transport) read from
// the XML layout open FIX engines share: <fix type major minor servicepack> with <header>,
// <trailer>, <messages> of <message name msgtype>, <components> and <fields> of <field number
// name type> with <value enum>. Messages, header and trailer list <field name required>, <group
// name required> (named after its NumInGroup field, members inside) and <component name
// required>, which is expanded in place.
//
// Loading builds flat tables so a validator walks a message without allocating: per tag a type
// and a range of allowed values, and per scope (header, trailer, each message body, each group)
// a bitset of the tags it may hold, its required tags and its groups. A field is required in a
// scope when it and every component around it say required="Y".
//
// A FIXT.1.1 message is checked against one dictionary made by combine(): the header, trailer
// and session messages of the transport dictionary with the application messages of the
// dictionary its ApplVerID names.
//
// A dictionary that cannot be read whole (no file, not XML, not this layout, a name that is not
// a defined field, a group without a count field, a component that is missing or contains
// itself) is refused: load() throws DictionaryError naming the file and the problem; nothing
// half-read is ever used.
//
// Thread contract: immutable once loaded; shared freely between session threads. load() may be
// called from any thread (its cache is locked); so may combine().
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class DictionaryError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Dictionary {
  public:
    // Value formats the validator checks; everything else is a string.
    enum class Type : std::uint8_t {
        None,  // not a defined field
        String,
        Int,
        Unsigned,  // LENGTH, NUMINGROUP, SEQNUM, TAGNUM
        DayOfMonth,
        Float,  // FLOAT, QTY, PRICE, PRICEOFFSET, AMT, PERCENTAGE
        Char,
        Boolean,
        UtcTimestamp,
        UtcTimeOnly,
        Date,  // UTCDATE, UTCDATEONLY, LOCALMKTDATE
        MonthYear,
        Data,           // raw bytes, its length in the field before it
        MultipleValue,  // space-separated values, each one of the enumeration
    };

    struct Group {
        int countTag;   // the NumInGroup field
        int delimiter;  // the first field of every entry
        int scope;      // the entries' scope
    };

    struct Scope {
        // Bit per tag from word `first` to the word of the scope's highest tag: FIX 5.0 SP2
        // numbers fields up to 50002, but a scope's tags lie close together, so its 26,000
        // scopes take 4 MB rather than 120 MB.
        std::vector<std::uint64_t> allowed;
        std::uint32_t first = 0;
        std::vector<int> required;
        std::vector<Group> groups;
    };

    // The dictionary at `path`, read once per process and file version (size and modification
    // time) and shared after that. Throws DictionaryError "<path>: <problem>".
    static std::shared_ptr<const Dictionary> load(const std::string& path);
    // Reads `path` without the cache.
    explicit Dictionary(const std::string& path);

    // One dictionary from a transport dictionary (its header, trailer, session messages 0-5
    // and A, and their fields) and an application dictionary (its other messages, components
    // and fields): what a FIXT.1.1 message of the application's ApplVerID is checked against.
    // A field both define takes the transport's type and values. beginString() is the
    // transport's, applVerID() the application's. Throws DictionaryError when the two give a
    // field number different names. Costs a copy of both dictionaries' tables.
    static std::shared_ptr<const Dictionary> combine(const Dictionary& transport,
                                                     const Dictionary& app);

    // As BeginString carries it: "FIX.4.4", "FIX.5.0SP2" (servicepack 2), "FIXT.1.1" (type FIXT).
    const std::string& beginString() const { return version; }
    // The ApplVerID (1128) value of this version: "9" for FIX.5.0SP2 down to "2" for FIX.4.0;
    // empty for the transport and for versions without one.
    const std::string& applVerID() const { return applVer; }
    int maxTag() const { return static_cast<int>(types.size()) - 1; }
    Type type(int tag) const { return tag > 0 && tag <= maxTag() ? types[tag] : Type::None; }
    // True when the field has no enumeration or `value` is one of it.
    bool allows(int tag, std::string_view value) const;
    // The field's name; empty for an undefined tag.
    const std::string& name(int tag) const;
    // The field number of `name`, 0 when there is none.
    int tagOf(std::string_view name) const;

    // Scope ids; messageScope is -1 for a MsgType the dictionary does not define.
    int headerScope() const { return 0; }
    int trailerScope() const { return 1; }
    int messageScope(std::string_view msgType) const;
    const Scope& scope(int id) const { return scopes[id]; }
    static bool has(const Scope& s, int tag) {
        auto word = static_cast<std::uint32_t>(tag >> 6);
        return tag >= 0 && word >= s.first && word - s.first < s.allowed.size() &&
               (s.allowed[word - s.first] >> (tag & 63) & 1) != 0;
    }
    // Tags anywhere in the header or the trailer, their groups included.
    bool inHeader(int tag) const { return has(headerAll, tag); }
    bool inTrailer(int tag) const { return has(trailerAll, tag); }
    // Deepest group nesting of any scope.
    int maxDepth() const { return depth; }
    // Bitset words covering every tag.
    std::size_t words() const { return static_cast<std::size_t>(maxTag() >> 6) + 1; }

  private:
    class Reader;
    Dictionary() = default;

    std::string version;
    std::string applVer;
    std::vector<Type> types;
    std::vector<std::string> names;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> enumRange;  // [begin, end) per tag
    std::vector<std::string> enumValues;
    // Enumerations of single characters or of numbers below 256 (most of them) are also kept as
    // a 256-bit set per tag, so most values are checked without a string comparison.
    struct ByteSet {
        bool numbers = false;  // the set holds numbers, else characters
        bool used = false;
        std::uint64_t bits[4] = {0, 0, 0, 0};
    };
    std::vector<ByteSet> enumSets;
    std::vector<std::pair<std::string, int>> byName;    // sorted
    std::vector<std::pair<std::string, int>> messages;  // sorted MsgType -> scope
    std::vector<Scope> scopes;
    Scope headerAll, trailerAll;
    int depth = 0;
};
