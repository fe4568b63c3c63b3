// apctl: the access points from the command line. The same transport,
// protocol, image and page rules as the window, one AP after the other, with
// a result for each and one stable JSON shape per command.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/backup.h"
#include "app/managed_ap.h"
#include "app/settings.h"
#include "app/textconv.h"
#include "image/layout.h"
#include "image/transfer.h"
#include "protocol/engine.h"
#include "protocol/frame.h"
#include "protocol/operations.h"
#include "protocol/startup.h"
#include "tools/apctl/json.h"
#include "transport/adapter.h"
#include "transport/capture_file.h"
#include "transport/link_driver.h"

namespace apctl {
namespace {

using namespace aputil;
namespace fs = std::filesystem;

constexpr int kExitDone = 0;
constexpr int kExitApFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoAdapter = 3;

constexpr const char* kHelp = R"(usage: apctl [OPTIONS] COMMAND ARGS...

commands:
  adapters                  the network interfaces and which can carry the protocol
  browse                    the APs that answer, in MAC order
  show AP...                every setting the pages show, and whether the stored CRC-32 is valid
  set AP... KEY=VALUE...    change settings: write when changed, commit, finish, verify
  backup AP... FILE         save the image (FILE is a folder for several APs)
  restore AP... FILE        write a backup back and verify it
  diff A B                  compare two APs or backup files

AP: a MAC (02-5e-00-00-00-01 or 02:5e:00:00:00:01), an AP name, or "all".

keys of set:
  ssid=TEXT  channel=N  name=TEXT  password=@FILE|-  ip=A.B.C.D  mask=A.B.C.D  gateway=A.B.C.D
  wep=off|64|128  key1..key4=ASCII|HEX  default-key=1..4
  mac-access=on|off  mac-add=MAC  mac-remove=MAC  mac-table=MAC,MAC,...

options:
  --json                one JSON object on stdout
  --quiet               no progress on stderr
  --keep-going          go on with the next AP after a failure
  --adapter NAME        use this interface only
  --all-models          browse without the model filter
  --password-file FILE  login password from the first line of FILE (else APCTL_PASSWORD, else a prompt)
  --show-keys           show and diff also print the WEP key bytes
  --check               set: print the change, write nothing
  --force               restore: accept another AP's backup
  --pcap FILE           write every frame sent and received to FILE (pcap); passwords and WEP keys masked
  --pcap-keep-secrets   with --pcap: write passwords and keys as they travel (FILE readable by its owner only)
  --help, --version

exit status: 0 done, 1 some AP failed, 2 bad usage or input, 3 no usable adapter or no privilege.
Passwords are never taken as arguments (other users can read them in the process list).
See docs/apctl.md for the JSON shapes and the backup file format.
)";

struct Options {
    bool json = false;
    bool quiet = false;
    bool keepGoing = false;
    bool allModels = false;
    bool showKeys = false;
    bool check = false;
    bool force = false;
    std::string adapter;
    std::string passwordFile;
    std::string pcap;
    bool pcapKeepSecrets = false;
    std::string command;
    std::vector<std::string> args;
};

// Thrown for bad usage or input found before any AP is contacted.
struct UsageError {
    std::string text;
};
struct NoAdapterError {
    std::string text;
};

struct ApEntry {
    int adapter = -1;  // usable-list position
    BrowseRecord record;
};

// ---------------------------------------------------------------- texts

std::string RecordText(const char (&field)[kBrowseTextSize]) {
    return std::string(field, strnlen(field, kBrowseTextSize));
}

std::string MacText(std::span<const uint8_t, 6> mac) { return FormatMacText(mac); }
std::string MacText(const BrowseRecord& r) { return MacText(std::span<const uint8_t, 6>(r.peer.address, 6)); }
std::string MacDashed(const MacAddress& mac) { return FormatMacDashed(mac); }

MacAddress MacOf(const BrowseRecord& r) {
    MacAddress mac{};
    std::copy_n(r.peer.address, mac.size(), mac.begin());
    return mac;
}

// Arguments come from a UTF-8 terminal; the image holds 8-bit Latin-1. Text
// that is not UTF-8 of Latin-1 characters is kept as its bytes.
std::string FromUtf8(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size() &&
                   (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
            out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3F));
            ++i;
        } else {
            return std::string(text);
        }
    }
    return out;
}

std::string HexText(std::span<const uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const uint8_t b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

std::string IsoTime(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// ---------------------------------------------------------------- output

// Results go here: the caller's standard output. The transport's trace lines
// go to the process's stdout, which is sent to /dev/null so that they never
// mix with a script's JSON.
FILE* resultStream = stdout;

void KeepTraceOffResults() {
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (saved < 0 || null < 0) return;
    FILE* out = fdopen(saved, "w");
    if (!out) return;
    std::fflush(stdout);
    dup2(null, STDOUT_FILENO);
    close(null);
    resultStream = out;
}

void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), resultStream);
    std::fflush(resultStream);
}

class Output {
public:
    explicit Output(const Options& o) : options_(o) {}
    void Progress(const std::string& who, const std::string& what) const {
        if (!options_.quiet) std::cerr << Json::Utf8("apctl: " + who + ": " + what) << std::endl;
    }
    void Line(const std::string& text) const {
        if (!options_.json) Print(Json::Utf8(text) + "\n");
    }

private:
    const Options& options_;
};

// ---------------------------------------------------------------- passwords

std::string FirstLine(const std::string& path, const char* what) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError{std::string("cannot read ") + what + " " + path};
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Reads one line from the terminal with echo off.
std::optional<std::string> PromptHidden(const char* prompt) {
    if (!isatty(STDIN_FILENO)) return std::nullopt;
    std::cerr << prompt << std::flush;
    termios saved{};
    const bool restore = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (restore) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (restore) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << "\n";
    return line;
}

std::string LoginPassword(const Options& o) {
    std::string password;
    if (!o.passwordFile.empty()) {
        password = FirstLine(o.passwordFile, "password file");
    } else if (const char* env = std::getenv("APCTL_PASSWORD")) {
        password = env;
    } else if (auto typed = PromptHidden("AP password: ")) {
        password = *typed;
    } else {
        throw UsageError{"no password: give --password-file FILE, set APCTL_PASSWORD, or run on a terminal"};
    }
    if (password.size() > size_t{kPasswordLength}) throw UsageError{"the login password is longer than 40 characters"};
    return password;
}

// ---------------------------------------------------------------- transport

// The raw-packet right belongs to the helper; without one beside apctl it
// opens captures itself (as root, or given the right).
void UseHelperWhenPresent() {
    static bool chosen = false;
    if (chosen) return;
    chosen = true;
    if (std::getenv("APCTL_IN_PROCESS")) return;
    if (const std::string helper = FindLinkHelper(); !helper.empty()) {
        if (auto driver = MakeLinkDriver(helper)) theAdapter.SetDriver(std::move(driver));
    }
}

void StartTransport(const Options& o) {
    theAdapter.quiet = 1;
    UseHelperWhenPresent();
    InitPacketDriver();
    if (theAdapter.usableCount == 0) {
        if (theAdapter.NeedsPrivilege() || geteuid() != 0) {
            const std::string program = theAdapter.PrivilegedProgram();
            throw NoAdapterError{
                "no usable adapter: no privilege for raw packet access (run as root, or give " +
                (program.empty() ? std::string("the packet helper aputil-link beside apctl") : program) +
                " CAP_NET_RAW)"};
        }
        throw NoAdapterError{"no usable Ethernet adapter"};
    }
    if (!o.adapter.empty()) {
        for (int k = 0; k < theAdapter.usableCount; ++k) {
            if (theAdapter.usableName[k] == o.adapter) return;
        }
        throw NoAdapterError{"adapter " + o.adapter + " is not usable (missing, not Ethernet, or no privilege)"};
    }
}

int openPosition = -1;  // usable position of the open adapter

bool OpenUsable(int position) {
    if (position == openPosition && theAdapter.IsAdapterOpen()) return true;
    openPosition = -1;
    if (position < 0 || position >= theAdapter.usableCount) return false;
    const int index = theAdapter.usableIndex[position];
    if (!theAdapter.OpenAdapter(index) && !theAdapter.OpenAdapter(index)) return false;
    openPosition = position;
    return true;
}

void CloseUsable() {
    theAdapter.CloseAdapter();
    openPosition = -1;
    currentAdapter = -1;
}

std::vector<ApEntry> BrowseAll(const Options& o) {
    std::vector<ApEntry> found;
    std::vector<BrowseRecord> replies(kBrowseCapacity);
    const uint16_t saved = GetTimeout();
    SetTimeout(kBrowseWaitMs);
    const Attribute vendor = TextAttribute(ATTR_VENDOR, kVendorFilter);
    const Attribute product = TextAttribute(ATTR_PRODUCT, kProductFilter);
    const Attribute model = TextAttribute(ATTR_MODEL, o.allModels ? "" : kModelFilter);
    for (int k = 0; k < theAdapter.usableCount; ++k) {
        if (!o.adapter.empty() && theAdapter.usableName[k] != o.adapter) continue;
        if (!OpenUsable(k)) continue;
        currentAdapter = k;
        int count = kBrowseCapacity;
        if (Browse(vendor, product, model, replies.data(), count) == STATUS_OK) {
            count = std::clamp(count, 0, kBrowseCapacity);
            for (int r = 0; r < count; ++r) {
                const BrowseRecord& reply = replies[static_cast<size_t>(r)];
                if (std::none_of(found.begin(), found.end(), [&](const ApEntry& e) {
                        return std::memcmp(e.record.peer.address, reply.peer.address, kMacSize) == 0;
                    })) {
                    found.push_back(ApEntry{k, reply});
                }
            }
        }
        CloseUsable();
    }
    SetTimeout(saved);
    std::stable_sort(found.begin(), found.end(), [](const ApEntry& a, const ApEntry& b) {
        return std::memcmp(a.record.peer.address, b.record.peer.address, kMacSize) < 0;
    });
    return found;
}

// A MAC in either text form, any case; a group address too (it matches no AP).
std::optional<MacAddress> MacArgument(std::string_view text) {
    if (text.size() != kMacTextLength || !std::isxdigit(static_cast<unsigned char>(text[1]))) return std::nullopt;
    std::string unicast(text);
    unicast[1] = '0';
    auto mac = ParseMacAddress(unicast);
    if (mac) mac->at(0) = static_cast<uint8_t>((mac->at(0) & 0xF0) | std::stoi(std::string(1, text[1]), nullptr, 16));
    return mac;
}

// One AP argument's matches; a missing one is reported by its text.
struct Target {
    std::string argument;
    std::optional<ApEntry> entry;
};

std::vector<Target> ResolveTargets(const std::vector<std::string>& args, const std::vector<ApEntry>& aps) {
    std::vector<Target> targets;
    const auto add = [&](const ApEntry& e) {
        const bool listed = std::any_of(targets.begin(), targets.end(), [&](const Target& t) {
            return t.entry && std::memcmp(t.entry->record.peer.address, e.record.peer.address, kMacSize) == 0;
        });
        if (!listed) targets.push_back(Target{MacText(e.record), e});
    };
    for (const std::string& arg : args) {
        if (arg == "all") {
            for (const ApEntry& e : aps) add(e);
            continue;
        }
        bool matched = false;
        if (const auto mac = MacArgument(arg)) {
            for (const ApEntry& e : aps) {
                if (MacOf(e.record) == *mac) {
                    add(e);
                    matched = true;
                }
            }
        } else {
            const std::string name = FromUtf8(arg);
            for (const ApEntry& e : aps) {
                if (RecordText(e.record.apName) == name) {
                    add(e);
                    matched = true;
                }
            }
        }
        if (!matched) targets.push_back(Target{FromUtf8(arg), std::nullopt});
    }
    return targets;
}

// ---------------------------------------------------------------- sessions

// Logs in to the AP and reads its blocks into the image module's buffers.
bool LogIn(const ApEntry& ap, const std::string& password, std::string& error) {
    if (!OpenUsable(ap.adapter)) {
        error = "cannot open adapter " + theAdapter.usableName[ap.adapter];
        return false;
    }
    currentAdapter = ap.adapter;
    uint16_t session = 0;
    const int status = Login(ap.record.peer, kLoginUser, password.c_str(), session);
    if (status != STATUS_OK) {
        error = status == STATUS_NO_REPLY ? "no reply to the login" : "login refused (wrong password?)";
        return false;
    }
    currentSession = session;
    if (!ReadDeviceImage()) {
        error = "the image could not be read";
        return false;
    }
    return true;
}

void LogOut() {
    if (currentSession != 0) Logout(currentSession);
    currentSession = 0;
}

// ---------------------------------------------------------------- settings as shown

Json WepText(WepState s) {
    switch (s) {
    case WepState::Wep64:
        return "64";
    case WepState::Wep128:
        return "128";
    case WepState::Disabled:
        break;
    }
    return "off";
}

Json Settings(const ConfigImage& image, const FirmwareBlock& firmware, const MacAddress& mac, bool showKeys) {
    Json s = Json::Object();
    s.Set("mac", MacText(mac));
    s.Set("name", ReadApName(image));
    s.Set("ssid", ReadSsid(image));
    s.Set("channel", static_cast<int>(ReadChannel(image)));
    Json channels = Json::Array();
    for (const int c : AllowedChannels(ReadChannelMask(image))) channels.Push(c);
    s.Set("allowed_channels", channels);
    s.Set("ip", ReadAddressText(image, AddressField::IpAddress));
    s.Set("mask", ReadAddressText(image, AddressField::SubnetMask));
    s.Set("gateway", ReadAddressText(image, AddressField::Gateway));
    Json domain = Json::Object();
    const uint8_t code = ReadRegulatoryDomain(image);
    domain.Set("code", static_cast<int>(code));
    const auto name = RegulatoryDomainName(code);
    domain.Set("name", name ? Json(*name) : Json());
    s.Set("regulatory_domain", domain);
    s.Set("wep", WepText(ReadWepState(image)));
    const int key = ReadDefaultKey(image);
    s.Set("default_key", key < kWepKeySlots ? Json(key + 1) : Json());
    if (showKeys) {
        Json keys = Json::Array();
        for (int k = 0; k < kWepKeySlots; ++k) {
            const auto bytes = ReadKeyBytes(image, k);
            keys.Push(bytes ? Json(HexText(*bytes)) : Json());
        }
        s.Set("keys", keys);
    } else {
        s.Set("keys", Json());
    }
    const MacTable table = ReadMacTable(image);
    s.Set("mac_access", table.IsOn() ? "on" : "off");
    Json entries = Json::Array();
    for (const MacAddress& m : table.entries) entries.Push(MacText(m));
    s.Set("mac_table", entries);
    s.Set("firmware_version", ReadFirmwareVersion(firmware));
    s.Set("firmware_date", ReadFirmwareDate(firmware));
    s.Set("crc_valid", StoredChecksumValid(image));
    return s;
}

// One field that differs between two images, in show's forms.
struct FieldChange {
    std::string field;
    Json a, b;
};

// The named fields that differ; key bytes and the password are never printed
// unless showKeys (the password never).
std::vector<FieldChange> CompareFields(const ConfigImage& a, const ConfigImage& b, bool showKeys) {
    std::vector<FieldChange> changes;
    const FirmwareBlock none{};
    const Json sa = Settings(a, none, {}, false);
    const Json sb = Settings(b, none, {}, false);
    const auto same = [&](const char* field) { return *sa.Find(field) == *sb.Find(field); };
    for (const char* field : {"name", "ssid", "channel", "allowed_channels", "ip", "mask", "gateway",
                              "regulatory_domain", "wep", "default_key"}) {
        if (!same(field)) changes.push_back({field, *sa.Find(field), *sb.Find(field)});
    }
    for (int k = 0; k < kWepKeySlots; ++k) {
        const auto ka = ReadKeyBytes(a, k);
        const auto kb = ReadKeyBytes(b, k);
        // The whole slot counts: its lead and tail bytes are written with the key.
        const size_t at = 1072 + 20 * static_cast<size_t>(k);
        if (!std::equal(a.begin() + static_cast<long>(at), a.begin() + static_cast<long>(at + 20),
                        b.begin() + static_cast<long>(at))) {
            changes.push_back({"key" + std::to_string(k + 1), showKeys && ka ? Json(HexText(*ka)) : Json(),
                               showKeys && kb ? Json(HexText(*kb)) : Json()});
        }
    }
    for (const char* field : {"mac_access", "mac_table"}) {
        if (!same(field)) changes.push_back({field, *sa.Find(field), *sb.Find(field)});
    }
    if (!std::equal(a.begin() + 552, a.begin() + 1032, b.begin() + 552)) changes.push_back({"password", {}, {}});
    return changes;
}

struct Range {
    size_t offset, length;
};

// Byte ranges that differ outside every named region.
std::vector<Range> UnnamedDifferences(const ConfigImage& a, const ConfigImage& b) {
    std::vector<bool> named(kConfigImageSize, false);
    for (const NamedRegion& r : NamedRegions()) {
        for (size_t i = r.offset; i < r.offset + r.width && i < named.size(); ++i) named[i] = true;
    }
    std::vector<Range> ranges;
    for (size_t i = 0; i < kConfigImageSize; ++i) {
        if (named[i] || a[i] == b[i]) continue;
        if (!ranges.empty() && ranges.back().offset + ranges.back().length == i) {
            ++ranges.back().length;
        } else {
            ranges.push_back({i, 1});
        }
    }
    return ranges;
}

// ---------------------------------------------------------------- set: the request

// The values of one set command, checked once before any AP is contacted.
struct SetRequest {
    BasicSettings basic;
    SecuritySettings security;
    std::vector<MacAddress> macAdd, macRemove;
    bool hasBasic = false;
    bool hasSecurity = false;
};

[[noreturn]] void BadValue(const std::string& key, const std::string& why) {
    throw UsageError{"bad value for " + key + ": " + why};
}

std::string NewPassword(const std::string& value) {
    std::string password;
    if (value == "-") {
        const auto first = PromptHidden("new AP password: ");
        if (!first) BadValue("password", "'-' prompts on a terminal, and stdin is none");
        const auto second = PromptHidden("new AP password again: ");
        if (!second || *second != *first) BadValue("password", "the two entries differ");
        password = *first;
    } else if (value.size() > 1 && value[0] == '@') {
        password = FirstLine(value.substr(1), "password file");
    } else {
        BadValue("password", "give @FILE or -, never the password itself (other users can read arguments)");
    }
    if (!IsValidPassword(password)) BadValue("password", "1 to 40 printable ASCII characters");
    return password;
}

int NumberValue(const std::string& key, const std::string& value, int low, int high) {
    int n = 0;
    size_t used = 0;
    try {
        n = std::stoi(value, &used, 10);
    } catch (...) {
        used = 0;
    }
    if (used == 0 || used != value.size() || n < low || n > high) {
        BadValue(key, "a number " + std::to_string(low) + ".." + std::to_string(high));
    }
    return n;
}

MacAddress MacValue(const std::string& key, const std::string& value) {
    const auto mac = ParseMacAddress(value);
    if (!mac) BadValue(key, "'" + value + "' is not a unicast MAC address xx:xx:xx:xx:xx:xx");
    return *mac;
}

SetRequest ParseSetRequest(const std::vector<std::string>& pairs) {
    SetRequest r;
    if (pairs.empty()) throw UsageError{"set needs at least one KEY=VALUE"};
    std::vector<std::string> seen;
    for (const std::string& pair : pairs) {
        const size_t eq = pair.find('=');
        const std::string key = pair.substr(0, eq);
        const std::string value = pair.substr(eq + 1);
        if (key != "mac-add" && key != "mac-remove") {
            if (std::find(seen.begin(), seen.end(), key) != seen.end()) throw UsageError{key + " given twice"};
            seen.push_back(key);
        }
        if (key == "ssid") {
            if (!IsValidSsid(value)) BadValue(key, "1 to 32 printable ASCII characters");
            r.basic.ssid = value;
        } else if (key == "channel") {
            r.basic.channel = NumberValue(key, value, 1, kChannelCount);
        } else if (key == "name") {
            const std::string bytes = FromUtf8(value);
            if (!IsValidApName(bytes)) BadValue(key, "1 to 79 characters");
            r.basic.apName = bytes;
        } else if (key == "password") {
            r.basic.password = NewPassword(value);
        } else if (key == "ip" || key == "mask" || key == "gateway") {
            const auto address = ParseAddress(value);
            if (!address) BadValue(key, "'" + value + "' is not an address a.b.c.d with numbers 0..255");
            (key == "ip" ? r.basic.ipAddress : key == "mask" ? r.basic.subnetMask : r.basic.gateway) = address;
        } else if (key == "wep") {
            if (value == "off") {
                r.security.wep = WepState::Disabled;
            } else if (value == "64") {
                r.security.wep = WepState::Wep64;
            } else if (value == "128") {
                r.security.wep = WepState::Wep128;
            } else {
                BadValue(key, "off, 64 or 128");
            }
        } else if (key.size() == 4 && key.starts_with("key") && key[3] >= '1' && key[3] <= '4') {
            // The length tells the form; whether it suits the mode is checked
            // against the mode in effect at each AP.
            const size_t n = value.size();
            const bool hex = n == 10 || n == 26;
            const bool ascii = n == 5 || n == 13;
            std::string check = value;
            if (!(hex && CheckKeyText(n / 2, check)) && !(ascii && IsPrintableAscii(value))) {
                BadValue(key, "5 or 13 ASCII characters, or 10 or 26 hex digits");
            }
            r.security.keys[static_cast<size_t>(key[3] - '1')] = value;
        } else if (key == "default-key") {
            r.security.defaultKey = NumberValue(key, value, 1, kWepKeySlots) - 1;
        } else if (key == "mac-access") {
            if (value != "on" && value != "off") BadValue(key, "on or off");
            r.security.macAccess = value == "on";
        } else if (key == "mac-add") {
            r.macAdd.push_back(MacValue(key, value));
        } else if (key == "mac-remove") {
            r.macRemove.push_back(MacValue(key, value));
        } else if (key == "mac-table") {
            std::vector<MacAddress> table;
            size_t start = 0;
            while (!value.empty() && start <= value.size()) {
                const size_t comma = value.find(',', start);
                const MacAddress mac = MacValue(key, value.substr(start, comma - start));
                if (std::find(table.begin(), table.end(), mac) == table.end()) table.push_back(mac);
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
            if (table.size() > static_cast<size_t>(MAX_MAC_ENTRIES)) BadValue(key, "at most 32 addresses");
            r.security.macTable = table;
        } else {
            throw UsageError{"unknown key " + key};
        }
    }
    if (r.security.wep && *r.security.wep != WepState::Disabled) {
        const size_t n = KeyBytesOf(*r.security.wep);
        for (size_t k = 0; k < r.security.keys.size(); ++k) {
            const auto& key = r.security.keys[k];
            if (key && key->size() != n && key->size() != 2 * n) {
                BadValue("key" + std::to_string(k + 1), "a " + std::to_string(n * 8 + 24) + "-bit key is " +
                                                            std::to_string(n) + " ASCII characters or " +
                                                            std::to_string(2 * n) + " hex digits");
            }
        }
    } else if (r.security.wep) {
        for (size_t k = 0; k < r.security.keys.size(); ++k) {
            if (r.security.keys[k]) BadValue("key" + std::to_string(k + 1), "a key needs wep=64 or wep=128");
        }
    }
    const auto& b = r.basic;
    r.hasBasic = b.ssid || b.channel || b.apName || b.password || b.ipAddress || b.subnetMask || b.gateway;
    const auto& s = r.security;
    r.hasSecurity = s.wep || s.defaultKey || s.macAccess || s.macTable || !r.macAdd.empty() || !r.macRemove.empty() ||
                    std::any_of(s.keys.begin(), s.keys.end(), [](const auto& k) { return k.has_value(); });
    return r;
}

const char* KeyOfError(SettingError e) {
    switch (e) {
    case SettingError::Ssid:
        return "ssid";
    case SettingError::ApName:
        return "name";
    case SettingError::Password:
        return "password";
    case SettingError::Channel:
        return "channel";
    case SettingError::IpAddress:
        return "ip";
    case SettingError::SubnetMask:
        return "mask";
    case SettingError::Gateway:
        return "gateway";
    case SettingError::WepKey:
    case SettingError::WepKeyMissing:
        return "key";
    case SettingError::DefaultKey:
        return "default-key";
    case SettingError::MacText:
    case SettingError::MacTableFull:
        return "mac-table";
    case SettingError::None:
        break;
    }
    return "value";
}

// This AP's edit of the image, or the reason this AP's image refuses it.
std::optional<std::string> EditImage(const SetRequest& r, ConfigImage& image) {
    if (r.hasBasic) {
        if (const SettingError e = ApplyBasicSettings(image, r.basic); e != SettingError::None) {
            if (e == SettingError::Channel) {
                std::string allowed;
                for (const int c : AllowedChannels(ReadChannelMask(image))) {
                    allowed += (allowed.empty() ? "" : ",") + std::to_string(c);
                }
                return "bad value for channel: " + std::to_string(*r.basic.channel) +
                       " is not allowed on this AP (allowed: " + allowed + ")";
            }
            return std::string("bad value for ") + KeyOfError(e);
        }
    }
    if (r.hasSecurity) {
        SecuritySettings s = r.security;
        if (!r.macAdd.empty() || !r.macRemove.empty()) {
            std::vector<MacAddress> table = s.macTable ? *s.macTable : ReadMacTable(image).entries;
            for (const MacAddress& m : r.macRemove) std::erase(table, m);
            for (const MacAddress& m : r.macAdd) {
                if (std::find(table.begin(), table.end(), m) == table.end()) table.push_back(m);
            }
            s.macTable = table;
        }
        if (const SettingError e = ApplySecuritySettings(image, s); e != SettingError::None) {
            switch (e) {
            case SettingError::WepKey:
                return "bad value for key: it does not suit this AP's WEP mode (or WEP is off)";
            case SettingError::WepKeyMissing:
                return "bad value for wep: switching the mode needs the key in use (key" +
                       std::to_string((s.defaultKey ? *s.defaultKey : ReadDefaultKey(image)) + 1) + ") too";
            case SettingError::MacTableFull:
                return "bad value for mac-table: the table holds at most 32 addresses";
            default:
                return std::string("bad value for ") + KeyOfError(e);
            }
        }
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- the commands

struct Run {
    Options options;
    Output out{options};
    Json result = Json::Object();
    bool failed = false;
    std::string noAdapter;  // adapters: why none is usable

    explicit Run(Options o) : options(std::move(o)) {}

    void Begin() {
        result.Set("command", options.command);
        result.Set("ok", true);
        result.Set("error", Json());
    }

    std::vector<Target> Targets(const std::vector<std::string>& args) {
        out.Progress("browse", "looking for APs");
        return ResolveTargets(args, BrowseAll(options));
    }

    // Runs body for every target, one after the other, with a result each.
    template <typename Body>
    void ForEach(const std::vector<Target>& targets, Body body) {
        Json& results = result.Set("results", Json::Array());
        for (const Target& t : targets) {
            Json item = Json::Object();
            item.Set("ap", t.entry ? MacText(t.entry->record) : t.argument);
            item.Set("name", t.entry ? Json(RecordText(t.entry->record.apName)) : Json());
            item.Set("ok", true);
            item.Set("error", Json());
            const std::string who =
                t.entry ? MacText(t.entry->record) + " " + RecordText(t.entry->record.apName) : t.argument;
            std::string error;
            if (!t.entry) {
                error = "no AP answered as " + t.argument;
                body(t, item, error, /*reach=*/false);
            } else {
                body(t, item, error, true);
                LogOut();
            }
            if (!error.empty()) {
                item.Set("ok", false);
                item.Set("error", error);
                out.Progress(who, "FAILED: " + error);
                out.Line(who + ": FAILED: " + error);
                failed = true;
            }
            results.Push(item);
            if (failed && !options.keepGoing) break;
        }
        CloseUsable();
    }

    void Adapters() {
        Json& list = result.Set("adapters", Json::Array());
        theAdapter.quiet = 1;
        UseHelperWhenPresent();
        InitPacketDriver();
        theAdapter.EnumerateAdapters();
        for (int i = 0; i < theAdapter.adapterCount; ++i) {
            const std::string& name = theAdapter.adapterName[i];
            Json a = Json::Object();
            a.Set("name", name);
            int usable = -1;
            for (int k = 0; k < theAdapter.usableCount; ++k) {
                if (theAdapter.usableIndex[k] == i) usable = k;
            }
            a.Set("mac", usable >= 0 ? Json(MacText(std::span<const uint8_t, 6>(theAdapter.usableAddress[usable], 6)))
                                     : Json());
            a.Set("usable", usable >= 0);
            out.Line(name + (usable >= 0
                                 ? "  " + MacText(std::span<const uint8_t, 6>(theAdapter.usableAddress[usable], 6)) +
                                       "  usable"
                                 : "  not usable"));
            list.Push(a);
        }
        // The list is printed either way; a script still learns that nothing can be used.
        if (theAdapter.usableCount == 0) {
            try {
                StartTransport(options);
            } catch (const NoAdapterError& e) {
                noAdapter = e.text;
            }
        }
    }

    void BrowseCommand() {
        StartTransport(options);
        Json& list = result.Set("aps", Json::Array());
        for (const ApEntry& e : BrowseAll(options)) {
            Json a = Json::Object();
            a.Set("mac", MacText(e.record));
            a.Set("name", RecordText(e.record.apName));
            a.Set("vendor", RecordText(e.record.vendor));
            a.Set("product", RecordText(e.record.product));
            a.Set("model", RecordText(e.record.model));
            a.Set("adapter", theAdapter.usableName[e.adapter]);
            out.Line(MacText(e.record) + "  " + RecordText(e.record.apName) + "  " + RecordText(e.record.model) + "  " +
                     theAdapter.usableName[e.adapter]);
            list.Push(a);
        }
    }

    void Show() {
        if (options.args.empty()) throw UsageError{"show needs an AP"};
        const std::string password = LoginPassword(options);
        StartTransport(options);
        ForEach(Targets(options.args), [&](const Target& t, Json& item, std::string& error, bool reach) {
            item.Set("settings", Json());
            if (!reach) return;
            const std::string who = MacText(t.entry->record);
            out.Progress(who, "reading");
            if (!LogIn(*t.entry, password, error)) return;
            const Json s = Settings(configImage, firmwareBlock, MacOf(t.entry->record), options.showKeys);
            item.Set("settings", s);
            out.Line(who + ":");
            for (const auto& [k, v] : s.Items()) out.Line("  " + k + ": " + v.Text());
            out.Progress(who, "done");
        });
    }

    // Logs in again and reads the image back: true when it is `expected`.
    // The image's own password comes first; the one of this run's login is the fallback.
    bool Verify(const ApEntry& ap, const std::string& password, const std::string& fallback,
                const ConfigImage& expected, std::string& error) {
        LogOut();
        bool in = LogIn(ap, password, error);
        if (!in && fallback != password) {
            LogOut();
            in = LogIn(ap, fallback, error);
        }
        if (!in) {
            error = "not verified: " + error;
            return false;
        }
        error.clear();
        if (configImage != expected) {
            const auto n = std::inner_product(configImage.begin(), configImage.end(), expected.begin(), size_t{0},
                                              std::plus<>(), std::not_equal_to<>());
            error = "not verified: the image read back differs in " + std::to_string(n) + " bytes";
            return false;
        }
        return true;
    }

    // Writes `edited` when it differs from what was read, finishes, verifies.
    void WriteAndVerify(const ApEntry& ap, const std::string& password, const std::string& nextPassword,
                        const ConfigImage& snapshot, const ConfigImage& edited, Json& item, std::string& error) {
        const std::string who = MacText(ap.record);
        configImage = edited;
        bool written = false;
        bool committed = true;
        if (configImage != snapshot) {
            out.Progress(who, "writing");
            committed = WriteDeviceImage();
            written = committed;
        }
        SendFinish(BLOCK_OP_FINISH);
        item.Set("written", written);
        item.Set("verified", false);
        if (!committed) {
            error = "the AP refused the image write or its commit; nothing was changed";
            return;
        }
        if (!written) {
            item.Set("verified", true);
            out.Line(who + ": unchanged");
            out.Progress(who, "unchanged");
            return;
        }
        ConfigImage expected = edited;
        StampImageChecksum(expected);
        if (!Verify(ap, nextPassword, password, expected, error)) return;
        item.Set("verified", true);
        out.Line(who + ": verified");
        out.Progress(who, "verified");
    }

    void Set() {
        std::vector<std::string> aps, pairs;
        for (const std::string& a : options.args) (a.find('=') == std::string::npos ? aps : pairs).push_back(a);
        if (aps.empty()) throw UsageError{"set needs an AP"};
        const SetRequest request = ParseSetRequest(pairs);
        const std::string password = LoginPassword(options);
        StartTransport(options);
        result.Set("check", options.check);
        ForEach(Targets(aps), [&](const Target& t, Json& item, std::string& error, bool reach) {
            item.Set("changes", Json::Array());
            item.Set("written", false);
            item.Set("verified", false);
            if (!reach) return;
            const std::string who = MacText(t.entry->record);
            out.Progress(who, "reading");
            if (!LogIn(*t.entry, password, error)) return;
            const ConfigImage snapshot = configImage;
            ConfigImage edited = configImage;
            if (const auto refused = EditImage(request, edited)) {
                error = *refused;
                return;
            }
            Json changes = Json::Array();
            for (const FieldChange& c : CompareFields(snapshot, edited, false)) {
                Json change = Json::Object();
                change.Set("field", c.field);
                change.Set("from", c.a);
                change.Set("to", c.b);
                changes.Push(change);
                out.Line(who + ": " + c.field + ": " + c.a.Text() + " -> " + c.b.Text());
            }
            item.Set("changes", changes);
            if (options.check) return;
            // A new password is the one the read-back has to log in with.
            const std::string& next = request.basic.password ? *request.basic.password : password;
            WriteAndVerify(*t.entry, password, next, snapshot, edited, item, error);
        });
    }

    static std::vector<uint8_t> ReadFileBytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw UsageError{"cannot read " + path};
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    static Backup LoadBackup(const std::string& path) {
        const std::vector<uint8_t> bytes = ReadFileBytes(path);
        Backup b;
        if (const BackupError e = DecodeBackup(bytes, b); e != BackupError::None) {
            throw UsageError{path + ": " + BackupErrorText(e)};
        }
        return b;
    }

    // FILE itself for one AP; DIR/<mac>.apbak for several.
    static std::string FileFor(const std::string& file, const Target& t, bool several) {
        if (!several) return file;
        return (fs::path(file) / (MacDashed(MacOf(t.entry->record)) + ".apbak")).string();
    }

    void BackupCommand() {
        if (options.args.size() < 2) throw UsageError{"backup needs an AP and a FILE"};
        const std::string file = options.args.back();
        const std::vector<std::string> aps(options.args.begin(), options.args.end() - 1);
        const std::string password = LoginPassword(options);
        StartTransport(options);
        const std::vector<Target> targets = Targets(aps);
        const bool several = targets.size() > 1;
        if (several && !fs::is_directory(file)) throw UsageError{"several APs: " + file + " must be a folder"};
        ForEach(targets, [&](const Target& t, Json& item, std::string& error, bool reach) {
            item.Set("file", reach ? Json(FileFor(file, t, several)) : Json());
            item.Set("time", Json());
            item.Set("crc_valid", Json());
            item.Set("firmware_version", Json());
            item.Set("firmware_date", Json());
            if (!reach) return;
            const std::string who = MacText(t.entry->record);
            out.Progress(who, "reading");
            if (!LogIn(*t.entry, password, error)) return;
            Backup b;
            b.mac = MacOf(t.entry->record);
            b.time = static_cast<int64_t>(std::time(nullptr));
            b.firmwareDate = ReadFirmwareDate(firmwareBlock);
            b.firmwareVersion = ReadFirmwareVersion(firmwareBlock);
            b.image = configImage;
            b.crcValid = StoredChecksumValid(configImage);
            const std::vector<uint8_t> bytes = EncodeBackup(b);
            // Written beside the target and renamed, so a failed write never
            // leaves a half file under the backup's name.
            const std::string path = FileFor(file, t, several);
            const std::string temporary = path + ".tmp";
            {
                std::ofstream f(temporary, std::ios::binary | std::ios::trunc);
                f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
                f.close();
                if (!f) {
                    std::error_code ignored;
                    fs::remove(temporary, ignored);
                    error = "cannot write " + path;
                    return;
                }
            }
            std::error_code ec;
            fs::rename(temporary, path, ec);
            if (ec) {
                error = "cannot write " + path + ": " + ec.message();
                return;
            }
            item.Set("time", IsoTime(b.time));
            item.Set("crc_valid", b.crcValid);
            item.Set("firmware_version", b.firmwareVersion);
            item.Set("firmware_date", b.firmwareDate);
            out.Line(who + ": saved to " + path + (b.crcValid ? "" : " (stored CRC-32 not valid)"));
            out.Progress(who, "saved");
        });
    }

    void Restore() {
        if (options.args.size() < 2) throw UsageError{"restore needs an AP and a FILE"};
        const std::string file = options.args.back();
        const std::vector<std::string> aps(options.args.begin(), options.args.end() - 1);
        const bool folder = fs::is_directory(file);
        // One file is checked whole before any AP is contacted.
        std::optional<Backup> single;
        if (!folder) single = LoadBackup(file);
        const std::string password = LoginPassword(options);
        StartTransport(options);
        ForEach(Targets(aps), [&](const Target& t, Json& item, std::string& error, bool reach) {
            item.Set("file", reach ? Json(FileFor(file, t, folder)) : Json());
            item.Set("backup_mac", Json());
            item.Set("forced", false);
            item.Set("written", false);
            item.Set("verified", false);
            if (!reach) return;
            const std::string who = MacText(t.entry->record);
            Backup b;
            if (single) {
                b = *single;
            } else {
                const std::string path = FileFor(file, t, true);
                std::error_code ec;
                if (!fs::exists(path, ec)) {
                    error = "no backup " + path;
                    return;
                }
                std::vector<uint8_t> bytes;
                try {
                    bytes = ReadFileBytes(path);
                } catch (const UsageError& e) {
                    error = e.text;
                    return;
                }
                if (const BackupError e = DecodeBackup(bytes, b); e != BackupError::None) {
                    error = path + ": " + BackupErrorText(e);
                    return;
                }
            }
            item.Set("backup_mac", MacText(b.mac));
            const bool other = b.mac != MacOf(t.entry->record);
            if (other && !options.force) {
                error = "the backup is of " + MacText(b.mac) + ", not of this AP (--force writes it anyway)";
                return;
            }
            item.Set("forced", other);
            out.Progress(who, "reading");
            if (!LogIn(*t.entry, password, error)) return;
            const ConfigImage snapshot = configImage;
            // The restored image brings the password it was saved with: the
            // read-back tries that one first, then the one of this run.
            const auto field = std::span<const uint8_t>(b.image).subspan(552, 480);
            const std::string saved(field.begin(), std::find(field.begin(), field.end(), uint8_t{0}));
            WriteAndVerify(*t.entry, password, IsValidPassword(saved) ? saved : password, snapshot, b.image, item,
                           error);
        });
    }

    // An image to compare: a backup file, or an AP read now.
    struct Side {
        Json description = Json::Object();
        ConfigImage image{};
    };

    void Diff() {
        if (options.args.size() != 2) throw UsageError{"diff needs two arguments: AP or backup FILE each"};
        std::vector<Side> sides(2);
        std::vector<size_t> fromAps;
        for (size_t i = 0; i < 2; ++i) {
            const std::string& arg = options.args[i];
            std::error_code ec;
            if (fs::is_regular_file(arg, ec)) {
                const Backup b = LoadBackup(arg);
                sides[i].image = b.image;
                sides[i].description.Set("kind", "file");
                sides[i].description.Set("id", arg);
                sides[i].description.Set("name", ReadApName(b.image));
            } else {
                fromAps.push_back(i);
            }
        }
        result.Set("a", Json());
        result.Set("b", Json());
        result.Set("fields", Json::Array());
        result.Set("ranges", Json::Array());
        result.Set("identical", false);
        if (!fromAps.empty()) {
            const std::string password = LoginPassword(options);
            StartTransport(options);
            out.Progress("browse", "looking for APs");
            const std::vector<ApEntry> aps = BrowseAll(options);
            for (const size_t i : fromAps) {
                const std::vector<Target> t = ResolveTargets({options.args[i]}, aps);
                std::string error;
                if (t.size() != 1 || !t[0].entry) {
                    const std::string given = FromUtf8(options.args[i]);
                    error = t.size() > 1 ? given + " names several APs" : "no AP answered as " + given;
                } else {
                    out.Progress(MacText(t[0].entry->record), "reading");
                    if (LogIn(*t[0].entry, password, error)) sides[i].image = configImage;
                    LogOut();
                }
                if (!error.empty()) {
                    CloseUsable();
                    failed = true;
                    result.Set("error", error);
                    out.Line("FAILED: " + error);
                    return;
                }
                sides[i].description.Set("kind", "ap");
                sides[i].description.Set("id", MacText(t[0].entry->record));
                sides[i].description.Set("name", RecordText(t[0].entry->record.apName));
            }
            CloseUsable();
        }
        result.Set("a", sides[0].description);
        result.Set("b", sides[1].description);
        Json& fields = result.Set("fields", Json::Array());
        for (const FieldChange& c : CompareFields(sides[0].image, sides[1].image, options.showKeys)) {
            Json f = Json::Object();
            f.Set("field", c.field);
            f.Set("a", c.a);
            f.Set("b", c.b);
            fields.Push(f);
            out.Line(c.field + ": " + c.a.Text() + " | " + c.b.Text());
        }
        Json& ranges = result.Set("ranges", Json::Array());
        for (const Range& r : UnnamedDifferences(sides[0].image, sides[1].image)) {
            Json j = Json::Object();
            j.Set("offset", static_cast<int>(r.offset));
            j.Set("length", static_cast<int>(r.length));
            ranges.Push(j);
            out.Line("bytes " + std::to_string(r.offset) + ".." + std::to_string(r.offset + r.length - 1) + " differ");
        }
        const bool identical = fields.Size() == 0 && ranges.Size() == 0;
        result.Set("identical", identical);
        if (identical) out.Line("identical");
    }
};

// Empty shapes of a command's lists, so that a failure before any AP still
// prints the command's documented keys.
void EmptyShape(Json& result, const std::string& command) {
    if (command == "adapters") {
        if (!result.Find("adapters")) result.Set("adapters", Json::Array());
    } else if (command == "browse") {
        if (!result.Find("aps")) result.Set("aps", Json::Array());
    } else if (command == "diff") {
        for (const char* k : {"a", "b"}) {
            if (!result.Find(k)) result.Set(k, Json());
        }
        if (!result.Find("fields")) result.Set("fields", Json::Array());
        if (!result.Find("ranges")) result.Set("ranges", Json::Array());
        if (!result.Find("identical")) result.Set("identical", false);
    } else {
        if (command == "set" && !result.Find("check")) result.Set("check", false);
        if (!result.Find("results")) result.Set("results", Json::Array());
    }
}

Options ParseOptions(int argc, char** argv, bool& help, bool& version) {
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&](const char* name) {
            if (i + 1 >= argc) throw UsageError{std::string(name) + " needs a value"};
            return std::string(argv[++i]);
        };
        if (a == "--json") {
            o.json = true;
        } else if (a == "--quiet" || a == "-q") {
            o.quiet = true;
        } else if (a == "--keep-going") {
            o.keepGoing = true;
        } else if (a == "--all-models") {
            o.allModels = true;
        } else if (a == "--show-keys") {
            o.showKeys = true;
        } else if (a == "--check") {
            o.check = true;
        } else if (a == "--force") {
            o.force = true;
        } else if (a == "--adapter") {
            o.adapter = value("--adapter");
        } else if (a == "--password-file") {
            o.passwordFile = value("--password-file");
        } else if (a == "--pcap") {
            o.pcap = value("--pcap");
        } else if (a == "--pcap-keep-secrets") {
            o.pcapKeepSecrets = true;
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else if (a == "--version") {
            version = true;
        } else if (a == "--password" || a == "-p" || a.starts_with("--password=")) {
            throw UsageError{
                "a password is never taken as an argument (other users can read the process list): "
                "use --password-file FILE, APCTL_PASSWORD or the prompt"};
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            throw UsageError{"unknown option " + a};
        } else {
            positional.push_back(a);
        }
    }
    if (o.pcapKeepSecrets && o.pcap.empty()) throw UsageError{"--pcap-keep-secrets needs --pcap FILE"};
    if (!positional.empty()) {
        o.command = positional.front();
        o.args.assign(positional.begin() + 1, positional.end());
    }
    return o;
}

int Main(int argc, char** argv) {
    KeepTraceOffResults();
    bool help = false;
    bool version = false;
    bool json = false;
    std::string command;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        json = json || a == "--json";
        // The command is named in the output also when the options are bad.
        if (a == "--adapter" || a == "--password-file" || a == "--pcap") {
            ++i;
        } else if (command.empty() && !a.starts_with("-")) {
            command = a;
        }
    }
    Json result = Json::Object();
    int status = kExitDone;
    std::string error;
    try {
        Options o = ParseOptions(argc, argv, help, version);
        if (help) {
            Print(kHelp);
            return kExitDone;
        }
        if (version) {
            Print(std::string("apctl ") + APUTIL_VERSION + "\n");
            return kExitDone;
        }
        command = o.command;
        if (!o.pcap.empty()) {
            std::string why;
            if (!StartFrameCapture(o.pcap, o.pcapKeepSecrets, why)) throw UsageError{why};
        }
        // Closed on every way out, so the file holds every frame up to the end.
        struct CaptureEnd {
            ~CaptureEnd() { StopFrameCapture(); }
        } captureEnd;
        Run run(std::move(o));
        run.Begin();
        try {
            if (command == "adapters") {
                run.Adapters();
            } else if (command == "browse") {
                run.BrowseCommand();
            } else if (command == "show") {
                run.Show();
            } else if (command == "set") {
                run.Set();
            } else if (command == "backup") {
                run.BackupCommand();
            } else if (command == "restore") {
                run.Restore();
            } else if (command == "diff") {
                run.Diff();
            } else {
                throw UsageError{command.empty() ? "no command (apctl --help lists them)"
                                                 : "unknown command " + command};
            }
        } catch (...) {
            result = run.result;
            throw;
        }
        result = run.result;
        status = run.failed ? kExitApFailed : kExitDone;
        if (!run.noAdapter.empty()) throw NoAdapterError{run.noAdapter};
        if (const Json* e = result.Find("error"); status == kExitApFailed && e && e->IsNull()) {
            // Per-AP failures carry their own errors.
        }
    } catch (const UsageError& e) {
        error = e.text;
        status = kExitUsage;
    } catch (const NoAdapterError& e) {
        error = e.text;
        status = kExitNoAdapter;
    }
    if (!error.empty()) {
        std::cerr << "apctl: " << error << std::endl;
        if (!result.Find("command")) {
            result.Set("command", command);
            result.Set("ok", false);
        }
        result.Set("error", error);
    }
    result.Set("ok", status == kExitDone);
    if (!result.Find("error")) result.Set("error", Json());
    if (json) {
        EmptyShape(result, command);
        Print(result.Dump(true) + "\n");
    }
    return status;
}

}  // namespace
}  // namespace apctl

int main(int argc, char** argv) { return apctl::Main(argc, argv); }
