// FixConfig: a site's message templates, loaded from ./cfg/<site>.fix (relative to the working
// directory). Each line starting with a marker (~ header, A Logon, 0 Heartbeat, 1 Test Request,
// 2 Resend Request, 3 Reject, 4 Sequence Reset, 5 Logout) lists fields between braces,
// "{8=FIX.4.2,9=,35=}", and appends them in order to that template; any other line is a comment.
// getMsgTemplate hands out fresh copies, header first, from which Fix::build assembles a message.
// One setting line chooses the site's session rules: "@ {rules=standard}" for the standard FIX
// session rules, "@ {rules=today}" (or none) for the suite's own; any other '@' line stays a
// comment, so every file written before the setting existed reads as it did. Settings may share a
// line, apart by blanks: "@ {rules=standard dictionary=FIX44.xml}" also names the site's FIX data
// dictionary, which the standard rules validate every inbound message against. A relative name
// is looked up in ./cfg/ (beside the configurations), then in the folder the dictionaries are
// installed in (<prefix>/share/fixgate/dict, found from the program's path); a dictionary that
// cannot be read whole, or whose version is not the header template's BeginString, makes load()
// throw CfgException naming the file and the problem.
//
// Two more settings say who may serve the site: "@ {role=acceptor}" or "@ {role=initiator}" (the
// gateway role the site is configured for; none: either), and "@ {allow=10.1.2.3,192.168.0.0/16}"
// (the IPv4 addresses and prefixes a counterparty may log on from at the acceptor; none: any).
// A line naming role= or allow= is read strictly: an unknown role, a list that does not parse,
// an unknown setting or text after the '}' makes load() throw CfgException naming the file and
// the problem, since a guard that silently stayed a comment would let anybody in.
//
// "@ {appstall=300}" gives the seconds a session may wait for its application to make room on
// the output queue before it logs out, saying our side cannot take messages (0: it waits for
// ever; none: defaultAppStall). A value that is not a whole number of seconds up to a day is
// refused like a bad role.
//
// "@ {apps=jetstream}" makes the site's applications reach the gateway through its JetStream
// streams instead of the queues ("@ {apps=queues}", the default); read strictly like role=.
//
// The site's schedule (see Schedule.h): "@ {zone=America/New_York window=daily:06:30-17:15
// reset=window}". Each item a line names replaces the one before; the schedule they make together
// is checked whole, and a line naming zone=, window= or reset= is read strictly, like role=. A
// file without them is non-stop in the host's zone with a reset at local midnight, as ever.
//
// A site whose header template's BeginString starts with "FIXT." speaks FIX 5.0 and later over
// the FIXT.1.1 transport. "@ {applver=9,8}" lists the ApplVerIDs (1128/1137 values "0" to "10")
// it accepts, the first its DefaultApplVerID; none named: the Logon template's 1137, else "9".
// There dictionary= names the transport dictionary and "@ {appdictionary=FIX50SP2.xml}" the
// application dictionaries, each standing for its own version's ApplVerID; the two come
// together, and every accepted ApplVerID needs its dictionary. A line naming applver= or
// appdictionary= is read strictly, like role=; either on a FIX 4.x site, or a Logon template
// 1137 other than the first applver value, is refused with the file and line.
//
// A template line that cannot be read as intended (longer than 127 characters, no '{', a '{'
// without '}', an empty item or one without a field number) is refused: load() throws
// CfgException naming the file and the line, rather than run a session with wrong templates.
//
// Thread contract: loaded once by its session thread, then only read; not shared.
#pragma once

#include <cstdint>
#include <exception>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Dictionary.h"
#include "Schedule.h"
#include "Tag.h"

class CfgException : public std::exception {
  public:
    explicit CfgException(const std::string& msg) : CfgMessage(msg) {}
    const char* what() const noexcept override { return CfgMessage.c_str(); }

  private:
    std::string CfgMessage;
};

// A setting line names a schedule that cannot be: refused before any connection is made.
class ScheduleRefused : public CfgException {
  public:
    using CfgException::CfgException;
};

// The configuration was read but its data dictionary was refused.
class DictionaryRefused : public CfgException {
  public:
    using CfgException::CfgException;
};

class FixConfig {
  public:
    // The gateway role a site is configured for.
    enum class Role { Unset, Acceptor, Initiator };

    // Line markers.
    static constexpr char Header = '~';
    static constexpr char Logon = 'A';
    static constexpr char Heartbeat = '0';
    static constexpr char Testreq = '1';
    static constexpr char Resendreq = '2';
    static constexpr char Reject = '3';
    static constexpr char Seqreset = '4';
    static constexpr char Logout = '5';
    // Field-list markers.
    static constexpr char LeftBrace = '{';
    static constexpr char RightBrace = '}';
    static constexpr char Comma = ',';
    // Longest line accepted, not counting the line end.
    static constexpr std::size_t maxLineLength = 127;
    // Seconds a session waits for a stalled application when the file says nothing.
    static constexpr int defaultAppStall = 300;

    FixConfig() = default;
    explicit FixConfig(const std::string& client);

    // Reads ./cfg/<client>.fix and appends its fields to the templates (a second load appends
    // again). Throws "Fail to open client FIX configuration file." when the file cannot be opened
    // or the name holds a '/', and "Malformed line in client FIX configuration file <path>
    // line <n>: <reason>" for a refused line; templates then hold the lines before it.
    void load(const std::string& client);
    // Parses one template line: the text between the first '{' and the first '}', split at ',';
    // each "number=value" item is appended to tagList (no '=': an empty value). Blank or empty
    // braces add nothing. Throws CfgException with the reason for a missing brace, an empty item
    // or one without a field number; tagList is then unchanged.
    void loadFixMsgDefinition(std::list<Tag>& tagList, const char* line);
    // Replaces tagList by a copy of the header followed by a copy of the msgType template (the
    // header alone for a type without one).
    void getMsgTemplate(std::list<Tag>& tagList, char msgType) const;
    // The two lists getMsgTemplate copies, for Fix::build to read in place: the header, and the
    // msgType template (nullptr for a type without one). Valid until the next load().
    const std::list<Tag>& headerTemplate() const { return header; }
    const std::list<Tag>* bodyTemplate(char msgType) const;
    // The value of the first header field numbered t; empty when there is none.
    std::string getHeaderTagDefinition(int t) const;
    // The file chose the standard FIX session rules (the last setting line wins).
    bool standardRules() const { return standard; }
    // The role the file configures the site for (the last role setting wins).
    Role role() const { return siteRole; }
    // The file names the addresses allowed to log on as the site.
    bool restrictsAddresses() const { return !allowed.empty(); }
    // True when the site names no addresses, or when the dotted IPv4 address lies in one of the
    // addresses or prefixes it names (several allow settings add up).
    bool allows(const std::string& address) const;
    // Seconds the site waits for a stalled application before it logs out (0: for ever).
    int appStall() const { return stallSeconds; }
    // The site's applications use its JetStream streams, not the queues.
    bool jetStream() const { return streams; }
    // Two gateways serve the site, one active at a time by a lease ("@ {standby=yes}"; the
    // default is no); read strictly like apps=. It needs apps=jetstream.
    bool standby() const { return standbyPair; }
    // The site's schedule: the default one when the file names none.
    const Schedule& schedule() const { return sched; }
    // The file named zone=, window= or reset=.
    bool namesSchedule() const { return scheduleNamed; }
    // The site's data dictionary, or nullptr when the file names none. FIXT sites:
    // dictionaryFor(defaultApplVerID()).
    std::shared_ptr<const Dictionary> dictionary() const { return dict; }
    // The header template's BeginString starts with "FIXT.".
    bool fixt() const { return transport; }
    // FIXT sites: the ApplVerIDs accepted, the first the default; FIX 4.x sites: empty.
    const std::vector<std::string>& applVerIDs() const { return applVers; }
    // applVerIDs().front(), or empty.
    const std::string& defaultApplVerID() const;
    // The dictionary a message of this ApplVerID is checked against: FIX 4.x sites:
    // dictionary(), whatever applVerID says; FIXT sites: the transport dictionary combined with
    // that ApplVerID's application dictionary; nullptr when the site names no dictionaries or
    // the ApplVerID has none.
    std::shared_ptr<const Dictionary> dictionaryFor(const std::string& applVerID) const;
    // Where a dictionary name from a setting line is read from.
    static std::string dictionaryPath(const std::string& name);
    // <prefix>/share/fixgate/dict for the running program's <prefix>/bin.
    static std::string installedDictionaries();
    static constexpr char Setting = '@';

  private:
    // A '@' line (number `number`): the rules setting, or a comment. Throws CfgException with
    // the reason for a refused role or allow setting.
    void readSetting(const std::string& line, int number);
    // Settles the FIXT settings once the whole file is read; throws CfgException naming `path`
    // and the line at fault.
    void settleApplVer(const std::string& path);
    // Reads a dictionary named on a setting line: DictionaryRefused when it cannot be.
    std::shared_ptr<const Dictionary> readDictionary(const std::string& name,
                                                     const std::string& path) const;
    void loadAppDictionaries(const std::string& path);
    // Adds the entries of an allow list; throws CfgException naming an entry that is not an
    // IPv4 address or prefix.
    void readAllowList(const std::string& list);
    void loadDictionary(const std::string& path);
    // The template a line marker selects, or nullptr for a comment line.
    std::list<Tag>* templateFor(char marker);
    const std::list<Tag>* templateFor(char marker) const;

    std::list<Tag> header;
    std::list<Tag> logon;
    std::list<Tag> heartbeat;
    std::list<Tag> testreq;
    std::list<Tag> resendreq;
    std::list<Tag> reject;
    std::list<Tag> seqreset;
    std::list<Tag> logout;
    bool standard = false;
    std::string dictionaryName;
    std::shared_ptr<const Dictionary> dict;
    bool transport = false;
    std::vector<std::string> applVers;
    // As last named, with the line that named them (0: never), and the Logon template's line
    // that first carried 1137.
    std::vector<std::string> applVerItem, appDictionaryNames;
    int applVerLine = 0, appDictionaryLine = 0, dictionaryLine = 0, logonApplVerLine = 0;
    // FIXT sites: ApplVerID -> the combined dictionary.
    std::vector<std::pair<std::string, std::shared_ptr<const Dictionary>>> byApplVer;
    Role siteRole = Role::Unset;
    int stallSeconds = defaultAppStall;
    bool streams = false;
    bool standbyPair = false;
    // The schedule items as last named (empty: not named), and what they make.
    std::string zoneItem, windowItem, resetItem;
    Schedule sched;
    bool scheduleNamed = false;
    // Allowed networks, host byte order: (network, mask).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> allowed;
};
