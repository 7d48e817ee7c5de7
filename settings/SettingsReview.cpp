#include "settings/SettingsReview.h"

#include "platform/JsonOutline.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <map>
#include <optional>

namespace {

using nlohmann::json;

struct Section {
    const char* name;  // "" for the top level
    std::vector<const char*> members;
};

// Every member the translator reads. Members beginning with "_" are notes for
// the reader of the file ("_log_levels_example") and never unknown.
const std::vector<Section>& KnownSections() {
    static const std::vector<Section> sections = {
        {"", {"version", "server", "logging", "debug"}},
        {"server", {"hostname", "port", "client_id", "client_secret", "validate_cert", "cert_thumbprint"}},
        {"logging", {"level", "file_name", "max_log_size_mb", "max_log_files"}},
        {"debug", {"enable_badge_event_file", "plaintext_secret"}},
    };
    return sections;
}

std::string MemberPath(const std::string& section, const std::string& name) {
    return section.empty() ? "\"" + name + "\"" : "\"" + section + "\".\"" + name + "\"";
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Edits (insert, delete, replace, or swap of two neighbours) from one to the other.
std::size_t EditDistance(const std::string& a, const std::string& b) {
    const std::size_t n = a.size(), m = b.size();
    std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
    for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= n; ++i) {
        for (std::size_t j = 1; j <= m; ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[n][m];
}

// The known member an unknown one most resembles: the same name in another
// case or with a few letters wrong in its own section, else the same name in
// another section ("port" under "logging"). Empty when nothing is close.
std::string Resembling(const std::string& section, const std::string& name) {
    if (name.size() > 64) return {};
    const std::string lower = Lower(name);
    std::string best;
    std::size_t bestDistance = std::max<std::size_t>(1, lower.size() / 4) + 1;
    for (const Section& known : KnownSections()) {
        for (const char* member : known.members) {
            const std::string candidate = member;
            if (known.name == section) {
                const std::size_t distance = EditDistance(lower, candidate);
                if (distance < bestDistance) {
                    bestDistance = distance;
                    best = MemberPath(section, candidate);
                }
            } else if (lower == candidate && best.empty()) {
                best = MemberPath(known.name, candidate);
            }
        }
    }
    return best;
}

const Section* FindSection(const std::string& name) {
    for (const Section& section : KnownSections()) {
        if (section.name == name) return &section;
    }
    return nullptr;
}

void FindUnknown(const json& object, const Section& section, std::vector<SettingsFinding>& findings) {
    for (const auto& item : object.items()) {
        const std::string& name = item.key();
        if (!name.empty() && name[0] == '_') continue;
        const auto& known = section.members;
        if (std::find_if(known.begin(), known.end(), [&](const char* m) { return name == m; }) != known.end()) continue;
        SettingsFinding finding;
        finding.kind = SettingsFinding::Kind::UnknownMember;
        finding.member = MemberPath(section.name, name);
        finding.suggestion = Resembling(section.name, name);
        finding.text = "member " + finding.member + " is not a setting the translator knows and is ignored";
        if (!finding.suggestion.empty()) finding.text += ": did you mean " + finding.suggestion + "?";
        findings.push_back(std::move(finding));
    }
}

bool IsPlaceholder(const std::string& member, const std::string& value) {
    const std::string lower = Lower(value);
    if (lower.rfind("replace-with", 0) == 0) return true;
    if (member != "hostname") return false;
    for (const char* example : {".example.local", ".example.com", ".example.org", ".example.net", ".example"}) {
        const std::string suffix = example;
        if (lower.size() >= suffix.size() && lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0) {
            return true;
        }
    }
    return lower == "example.com" || lower == "example.local";
}

// What is wrong with a host name that is more than a name; empty when nothing.
std::string HostnameProblem(const std::string& hostname) {
    if (hostname.find("://") != std::string::npos) {
        return "holds a URL: write the server's name alone (as tallyport01), and its port in \"server\".\"port\"";
    }
    if (hostname.find_first_of("/\\") != std::string::npos) {
        return "holds a path: write the server's name alone (as tallyport01)";
    }
    // One colon is a port; an IPv6 address has several.
    if (std::count(hostname.begin(), hostname.end(), ':') == 1) {
        return "holds a port: write the server's name alone, and the port in \"server\".\"port\"";
    }
    // Spaces around the name are a finding of their own; one inside is not a name.
    const std::size_t first = hostname.find_first_not_of(" \t");
    const std::size_t last = hostname.find_last_not_of(" \t");
    if (first != std::string::npos && hostname.find_first_of(" \t", first) < last) {
        return "holds a space inside the name";
    }
    return {};
}

bool HasSurroundingSpaces(const std::string& value) {
    if (value.empty()) return false;
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    return space(value.front()) || space(value.back());
}

void Add(std::vector<SettingsFinding>& findings, SettingsFinding::Kind kind, std::string member, std::string text) {
    SettingsFinding finding;
    finding.kind = kind;
    finding.member = std::move(member);
    finding.text = "member " + finding.member + " " + text;
    findings.push_back(std::move(finding));
}

void ReviewServer(const json* server, std::vector<SettingsFinding>& findings) {
    using Kind = SettingsFinding::Kind;
    struct Required {
        const char* name;
        const char* fallback;  // what applies without it
    };
    const Required required[] = {{"hostname", " the translator connects to \"localhost\""},
                                 {"port", " the translator connects to port 30001"},
                                 {"client_id", " the translator cannot sign in"},
                                 {"client_secret", " the translator cannot sign in"}};
    for (const Required& member : required) {
        const std::string path = MemberPath("server", member.name);
        const auto it = server ? server->find(member.name) : json::const_iterator();
        if (!server || it == server->end()) {
            Add(findings, Kind::MissingMember, path, std::string("is missing:") + member.fallback);
        } else if (it->is_string() && it->get_ref<const std::string&>().empty()) {
            Add(findings, Kind::MissingMember, path, std::string("is empty:") + member.fallback);
        }
    }
    if (!server) return;

    for (const char* name : {"hostname", "client_id", "client_secret", "cert_thumbprint"}) {
        const auto it = server->find(name);
        if (it == server->end() || !it->is_string()) continue;
        const std::string& value = it->get_ref<const std::string&>();
        const std::string path = MemberPath("server", name);
        if (IsPlaceholder(name, value)) {
            Add(findings, Kind::Placeholder, path,
                "still holds the example file's placeholder: put in the value for this site");
            continue;
        }
        if (std::string(name) == "hostname") {
            if (const std::string problem = HostnameProblem(value); !problem.empty()) {
                Add(findings, Kind::HostnameNotAName, path, problem);
                continue;
            }
        }
        // A thumbprint is read without its blanks anyway.
        if (std::string(name) != "cert_thumbprint" && HasSurroundingSpaces(value)) {
            Add(findings, Kind::SurroundingSpaces, path,
                "begins or ends with a space, which the translator keeps: remove it");
        }
    }
}

// The control character a text holds, in words; empty when it holds none. A
// single backslash before t, n, r, b or f is valid JSON and makes one of
// them: the JSON text "C:\tp\tly.log" reads as C:, a tab, p, a tab, ly.log.
std::string ControlCharacterIn(const std::string& value) {
    for (const char c : value) {
        switch (c) {
            case '\t': return "a tab";
            case '\n':
            case '\r': return "a line break";
            case '\b': return "a backspace";
            case '\f': return "a form feed";
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "a control character";
        }
    }
    return {};
}

// The secret is left out: it is never described, and a secret may hold anything.
void ReviewControlCharacters(const json* section, const char* sectionName, std::initializer_list<const char*> names,
                             std::vector<SettingsFinding>& findings) {
    if (!section) return;
    for (const char* name : names) {
        const auto it = section->find(name);
        if (it == section->end() || !it->is_string()) continue;
        const std::string what = ControlCharacterIn(it->get_ref<const std::string&>());
        if (what.empty()) continue;
        std::string text = "contains " + what +
                           ": in JSON write each backslash as \\\\ (as \"C:\\\\Logs\\\\tly_translator.log\"), or use /";
        if (std::string(name) == "file_name") text += "; until then the log is tly_translator.log beside the settings";
        Add(findings, SettingsFinding::Kind::ControlCharacter, MemberPath(sectionName, name), text);
    }
}

// Limits the reader replaces by their defaults (SettingsDocument.cpp).
void ReviewLogLimits(const json& logging, std::vector<SettingsFinding>& findings) {
    struct Limit {
        const char* name;
        std::int64_t least;
        const char* meaning;
    };
    const Limit limits[] = {{"max_log_size_mb", 1, ": the log would never be rotated; the default 10 is used"},
                            {"max_log_files", 0, ", which is not a count of files; the default 3 is used"}};
    for (const Limit& limit : limits) {
        const auto it = logging.find(limit.name);
        if (it == logging.end() || !it->is_number()) continue;
        // Whole numbers only: a fraction or a number beyond 32 bits fails the read itself.
        if (it->is_number_float() ? !(it->get<double>() < static_cast<double>(limit.least))
                                  : !(it->is_number_integer() && it->get<std::int64_t>() < limit.least)) {
            continue;
        }
        Add(findings, SettingsFinding::Kind::DefaultUsed, MemberPath("logging", limit.name),
            "is " + it->dump() + limit.meaning);
    }
}

// Members written twice in one object, which the parsed document no longer
// shows (the last one wins): at the top and in each known section.
void ReportDuplicates(const std::string& section, const std::vector<tly::JsonMemberSpan>& members,
                      std::vector<SettingsFinding>& findings) {
    std::vector<std::string> order;
    std::map<std::string, int> counts;
    for (const tly::JsonMemberSpan& member : members) {
        const std::optional<std::string> name = tly::DecodeJsonStringToken(member.keyToken);
        if (!name || (!name->empty() && (*name)[0] == '_')) continue;
        if (++counts[*name] == 2) order.push_back(*name);
    }
    for (const std::string& name : order) {
        const int count = counts[name];
        Add(findings, SettingsFinding::Kind::DuplicateMember, MemberPath(section, name),
            (count == 2 ? std::string("appears twice") : "appears " + std::to_string(count) + " times") +
                "; the last one is used");
    }
}

void FindDuplicates(std::string_view text, std::vector<SettingsFinding>& findings) {
    std::vector<tly::JsonMemberSpan> top;
    if (text.empty() || !tly::SplitJsonObject(text, top)) return;
    ReportDuplicates("", top, findings);
    for (const tly::JsonMemberSpan& member : top) {
        const std::optional<std::string> name = tly::DecodeJsonStringToken(member.keyToken);
        if (!name || name->empty() || !FindSection(*name)) continue;
        std::vector<tly::JsonMemberSpan> inner;
        if (tly::SplitJsonObject(member.value, inner)) ReportDuplicates(*name, inner, findings);
    }
}

void ReviewLogging(const json* logging, std::vector<SettingsFinding>& findings) {
    if (!logging) return;
    ReviewLogLimits(*logging, findings);
    for (const char* name : {"level", "file_name"}) {
        const auto it = logging->find(name);
        if (it != logging->end() && it->is_string() && HasSurroundingSpaces(it->get_ref<const std::string&>())) {
            Add(findings, SettingsFinding::Kind::SurroundingSpaces, MemberPath("logging", name),
                "begins or ends with a space, which the translator keeps: remove it");
        }
    }
}

const json* Object(const json& document, const char* name) {
    const auto it = document.find(name);
    return it != document.end() && it->is_object() ? &*it : nullptr;
}

}  // namespace

const char* FindingReason(SettingsFinding::Kind kind) {
    switch (kind) {
        case SettingsFinding::Kind::UnknownMember: return "unknown_member";
        case SettingsFinding::Kind::MissingMember: return "missing_member";
        case SettingsFinding::Kind::Placeholder: return "placeholder";
        case SettingsFinding::Kind::HostnameNotAName: return "hostname_not_a_name";
        case SettingsFinding::Kind::SurroundingSpaces: return "surrounding_spaces";
        case SettingsFinding::Kind::LogFolderMissing: return "log_folder_missing";
        case SettingsFinding::Kind::LogFileRefused: return "log_file_refused";
        case SettingsFinding::Kind::LogLevelUnknown: return "log_level_unknown";
        case SettingsFinding::Kind::DuplicateMember: return "duplicate_member";
        case SettingsFinding::Kind::ControlCharacter: return "control_character";
        case SettingsFinding::Kind::DefaultUsed: return "default_used";
    }
    return "unknown_member";
}

bool IsErrorFinding(SettingsFinding::Kind kind) {
    using Kind = SettingsFinding::Kind;
    return kind != Kind::UnknownMember && kind != Kind::DuplicateMember && kind != Kind::DefaultUsed;
}

std::vector<SettingsFinding> ReviewSettingsDocument(const json& document, std::string_view text) {
    std::vector<SettingsFinding> findings;
    if (!document.is_object()) return findings;
    FindDuplicates(text, findings);
    FindUnknown(document, *FindSection(""), findings);
    for (const char* name : {"server", "logging", "debug"}) {
        if (const json* object = Object(document, name)) FindUnknown(*object, *FindSection(name), findings);
    }
    ReviewServer(Object(document, "server"), findings);
    ReviewControlCharacters(Object(document, "server"), "server", {"client_id"}, findings);
    ReviewLogging(Object(document, "logging"), findings);
    ReviewControlCharacters(Object(document, "logging"), "logging", {"file_name"}, findings);
    return findings;
}
