#include "translator/framework/RegistryScript.h"

#include "platform/TextConversion.h"
#include "platform/UniqueResource.h"

#include <cctype>
#include <cstdlib>
#include <optional>
#include <stdexcept>

namespace tly::com {
namespace {

const HRESULT kBadScript = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);

// Thrown by the parser only; RunRegistryScript turns it into kBadScript.
struct ScriptError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct RegistryValue {
    std::wstring name;  // empty: the key's default value
    bool isNumber = false;
    std::wstring text;
    DWORD number = 0;
};

enum class KeyFlag { Plain, NoRemove, ForceRemove, Delete };

struct RegistryKey {
    KeyFlag flag = KeyFlag::Plain;
    std::wstring name;
    std::optional<RegistryValue> defaultValue;
    std::vector<RegistryValue> values;
    std::vector<RegistryKey> subkeys;
};

struct RegistryRoot {
    std::string name;
    std::vector<RegistryKey> keys;
};

bool SameWord(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string Substitute(std::string_view script, const std::vector<RegistryReplacement>& replacements) {
    std::string out;
    size_t i = 0;
    while (i < script.size()) {
        if (script[i] != '%') {
            out += script[i++];
            continue;
        }
        const size_t end = script.find('%', i + 1);
        if (end == std::string_view::npos) throw ScriptError("unterminated %");
        const std::string_view name = script.substr(i + 1, end - i - 1);
        if (name.empty()) {
            out += '%';
        } else {
            const RegistryReplacement* found = nullptr;
            for (const auto& r : replacements) {
                if (SameWord(r.name, name)) found = &r;
            }
            if (!found) throw ScriptError("unknown replacement");
            // Values land inside quoted strings, where a quote is doubled.
            for (char c : found->value) {
                out += c;
                if (c == '\'') out += '\'';
            }
        }
        i = end + 1;
    }
    return out;
}

struct Token {
    enum Kind { Word, Quoted, Open, Close, Equals, End } kind;
    std::string text;
};

class Tokenizer {
public:
    explicit Tokenizer(std::string_view text) : text_(text) {}

    Token Next() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        if (pos_ >= text_.size()) return {Token::End, {}};
        const char c = text_[pos_];
        if (c == '{') return ++pos_, Token{Token::Open, "{"};
        if (c == '}') return ++pos_, Token{Token::Close, "}"};
        if (c == '=') return ++pos_, Token{Token::Equals, "="};
        if (c == '\'') return Quoted();
        // A bare word ends at white space or punctuation, except that a word
        // opened by '{' (a GUID) runs to its closing brace.
        std::string word;
        while (pos_ < text_.size()) {
            const char d = text_[pos_];
            if (std::isspace(static_cast<unsigned char>(d)) || d == '{' || d == '}' || d == '=' || d == '\'') break;
            word += d;
            ++pos_;
        }
        return {Token::Word, word};
    }

    Token Peek() {
        const size_t saved = pos_;
        Token t = Next();
        pos_ = saved;
        return t;
    }

private:
    Token Quoted() {
        ++pos_;
        std::string value;
        while (true) {
            if (pos_ >= text_.size()) throw ScriptError("unterminated string");
            const char c = text_[pos_++];
            if (c != '\'') {
                value += c;
            } else if (pos_ < text_.size() && text_[pos_] == '\'') {
                value += '\'';
                ++pos_;
            } else {
                return {Token::Quoted, value};
            }
        }
    }

    std::string_view text_;
    size_t pos_ = 0;
};

class Parser {
public:
    explicit Parser(std::string_view text) : tokens_(text) {}

    std::vector<RegistryRoot> Script() {
        std::vector<RegistryRoot> roots;
        while (tokens_.Peek().kind != Token::End) {
            RegistryRoot root;
            root.name = Expect(Token::Word).text;
            Expect(Token::Open);
            while (tokens_.Peek().kind != Token::Close) root.keys.push_back(Key());
            Expect(Token::Close);
            roots.push_back(std::move(root));
        }
        return roots;
    }

private:
    RegistryKey Key() {
        RegistryKey key;
        Token name = KeyName();
        if (name.kind == Token::Word && SameWord(name.text, "NoRemove")) {
            key.flag = KeyFlag::NoRemove;
        } else if (name.kind == Token::Word && SameWord(name.text, "ForceRemove")) {
            key.flag = KeyFlag::ForceRemove;
        } else if (name.kind == Token::Word && SameWord(name.text, "Delete")) {
            key.flag = KeyFlag::Delete;
        }
        if (key.flag != KeyFlag::Plain) name = KeyName();
        key.name = Utf8ToWide(name.text);
        if (key.name.empty()) throw ScriptError("empty key name");

        if (tokens_.Peek().kind == Token::Equals) {
            tokens_.Next();
            key.defaultValue = Value({});
        }
        if (tokens_.Peek().kind == Token::Open) {
            tokens_.Next();
            while (tokens_.Peek().kind != Token::Close) {
                const Token next = tokens_.Peek();
                if (next.kind == Token::Word && SameWord(next.text, "val")) {
                    tokens_.Next();
                    std::wstring valueName = Utf8ToWide(KeyName().text);
                    Expect(Token::Equals);
                    key.values.push_back(Value(std::move(valueName)));
                } else {
                    key.subkeys.push_back(Key());
                }
            }
            Expect(Token::Close);
        }
        return key;
    }

    Token KeyName() {
        Token t = tokens_.Next();
        if (t.kind == Token::Open) {
            // A braced GUID: the brace belongs to the name.
            Token inner = Expect(Token::Word);
            Expect(Token::Close);
            return {Token::Word, "{" + inner.text + "}"};
        }
        if (t.kind != Token::Word && t.kind != Token::Quoted) throw ScriptError("key name expected");
        return t;
    }

    RegistryValue Value(std::wstring name) {
        RegistryValue value;
        value.name = std::move(name);
        const Token type = Expect(Token::Word);
        if (SameWord(type.text, "s")) {
            value.text = Utf8ToWide(Expect(Token::Quoted).text);
        } else if (SameWord(type.text, "d")) {
            const Token number = tokens_.Next();
            if (number.kind != Token::Word && number.kind != Token::Quoted) throw ScriptError("number expected");
            char* end = nullptr;
            const unsigned long parsed = std::strtoul(number.text.c_str(), &end, 0);
            if (number.text.empty() || *end != '\0') throw ScriptError("bad number");
            value.isNumber = true;
            value.number = static_cast<DWORD>(parsed);
        } else {
            throw ScriptError("unsupported value type");
        }
        return value;
    }

    Token Expect(Token::Kind kind) {
        Token t = tokens_.Next();
        if (t.kind != kind) throw ScriptError("unexpected token");
        return t;
    }

    Tokenizer tokens_;
};

HRESULT FromWin32(LSTATUS status) { return HRESULT_FROM_WIN32(static_cast<DWORD>(status)); }

bool IsMissing(LSTATUS status) { return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND; }

HRESULT SetValue(HKEY key, const RegistryValue& value) {
    const wchar_t* name = value.name.empty() ? nullptr : value.name.c_str();
    LSTATUS status;
    if (value.isNumber) {
        status = ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value.number),
                                  sizeof(value.number));
    } else {
        status = ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.text.c_str()),
                                  static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t)));
    }
    return FromWin32(status);
}

// Removes a key with everything below it; a missing key is no failure.
HRESULT DeleteTree(HKEY parent, const std::wstring& name) {
    const LSTATUS status = ::RegDeleteTreeW(parent, name.c_str());
    return status == ERROR_SUCCESS || IsMissing(status) ? S_OK : FromWin32(status);
}

HRESULT RegisterKey(HKEY parent, const RegistryKey& key) {
    if (key.flag == KeyFlag::Delete) return DeleteTree(parent, key.name);
    if (key.flag == KeyFlag::ForceRemove) {
        const HRESULT removed = DeleteTree(parent, key.name);
        if (FAILED(removed)) return removed;
    }
    UniqueRegistryKey child;
    const LSTATUS status = ::RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_READ | KEY_WRITE, nullptr, child.put(), nullptr);
    if (status != ERROR_SUCCESS) return FromWin32(status);
    if (key.defaultValue) {
        const HRESULT set = SetValue(child.get(), *key.defaultValue);
        if (FAILED(set)) return set;
    }
    for (const RegistryValue& value : key.values) {
        const HRESULT set = SetValue(child.get(), value);
        if (FAILED(set)) return set;
    }
    for (const RegistryKey& subkey : key.subkeys) {
        const HRESULT done = RegisterKey(child.get(), subkey);
        if (FAILED(done)) return done;
    }
    return S_OK;
}

HRESULT UnregisterKey(HKEY parent, const RegistryKey& key) {
    if (key.flag == KeyFlag::Delete) return S_OK;
    if (key.flag == KeyFlag::ForceRemove) return DeleteTree(parent, key.name);

    UniqueRegistryKey child;
    const LSTATUS status = ::RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_READ | KEY_WRITE, child.put());
    if (IsMissing(status)) return S_OK;
    if (status != ERROR_SUCCESS) return FromWin32(status);
    for (const RegistryKey& subkey : key.subkeys) {
        const HRESULT done = UnregisterKey(child.get(), subkey);
        if (FAILED(done)) return done;
    }
    if (key.flag == KeyFlag::NoRemove) {
        for (const RegistryValue& value : key.values) ::RegDeleteValueW(child.get(), value.name.c_str());
        return S_OK;
    }
    DWORD subkeyCount = 0;
    const LSTATUS queried = ::RegQueryInfoKeyW(child.get(), nullptr, nullptr, nullptr, &subkeyCount, nullptr,
                                               nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    child.reset();
    if (queried != ERROR_SUCCESS) return FromWin32(queried);
    if (subkeyCount > 0) return S_OK;  // someone else's keys live there
    const LSTATUS removed = ::RegDeleteKeyW(parent, key.name.c_str());
    return removed == ERROR_SUCCESS || IsMissing(removed) ? S_OK : FromWin32(removed);
}

}  // namespace

HKEY StandardRegistryRoot(std::string_view rootName) {
    if (SameWord(rootName, "HKCR") || SameWord(rootName, "HKEY_CLASSES_ROOT")) return HKEY_CLASSES_ROOT;
    if (SameWord(rootName, "HKCU") || SameWord(rootName, "HKEY_CURRENT_USER")) return HKEY_CURRENT_USER;
    if (SameWord(rootName, "HKLM") || SameWord(rootName, "HKEY_LOCAL_MACHINE")) return HKEY_LOCAL_MACHINE;
    return nullptr;
}

HRESULT RunRegistryScript(std::string_view script, const std::vector<RegistryReplacement>& replacements,
                          RegistryMode mode, const RegistryRootResolver& resolveRoot) {
    try {
        std::vector<RegistryRoot> roots;
        std::vector<HKEY> rootKeys;
        try {
            roots = Parser(Substitute(script, replacements)).Script();
            for (const RegistryRoot& root : roots) {
                HKEY key = resolveRoot ? resolveRoot(root.name) : nullptr;
                if (!key) throw ScriptError("unknown root");
                rootKeys.push_back(key);
            }
        } catch (const ScriptError&) {
            return kBadScript;
        }
        for (size_t i = 0; i < roots.size(); ++i) {
            for (const RegistryKey& key : roots[i].keys) {
                const HRESULT done =
                    mode == RegistryMode::Register ? RegisterKey(rootKeys[i], key) : UnregisterKey(rootKeys[i], key);
                if (FAILED(done)) return done;
            }
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace tly::com
