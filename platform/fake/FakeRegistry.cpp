#include <algorithm>

#include "platform/Errors.h"
#include "platform/fake/FakeWorld.h"

namespace platform::reg {

namespace {

using fake::Locked;

std::string TrimmedPath(const Key& key) {
    std::string path = key.path;
    while (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

std::string KeyId(const Key& key) {
    const int view = key.view == View::Wow32 ? 32 : 64;
    return std::to_string(static_cast<int>(key.hive)) + "|" + std::to_string(view) + "|" +
           AsciiLower(TrimmedPath(key));
}

// Creating a key creates the keys above it, as the system does; each keeps
// the letter case it was first written with.
std::string Create(fake::World& w, const Key& key) {
    const std::string id = KeyId(key);
    const std::string path = TrimmedPath(key);
    const size_t rootLen = id.size() - path.size();
    for (size_t sep = path.find('\\');; sep = path.find('\\', sep + 1)) {
        const size_t end = sep == std::string::npos ? path.size() : sep;
        const std::string sub = id.substr(0, rootLen + end);
        w.keys[sub];
        const size_t nameStart = path.rfind('\\', end == 0 ? 0 : end - 1);
        const size_t from = nameStart == std::string::npos || nameStart >= end ? 0 : nameStart + 1;
        w.keyNames.emplace(sub, path.substr(from, end - from));
        if (sep == std::string::npos) break;
    }
    return id;
}

void Put(const Key& key, const std::string& name, Value v) {
    Locked w;
    if (w->registryReadOnly) ThrowSystemError(5);
    const std::string id = Create(*w, key);
    w->keys[id][AsciiLower(name)] = {name, std::move(v)};
}

}  // namespace

bool KeyExists(const Key& key) { return Locked()->keys.count(KeyId(key)) != 0; }

std::optional<Value> QueryValue(const Key& key, const std::string& name) {
    Locked w;
    auto k = w->keys.find(KeyId(key));
    if (k == w->keys.end()) return std::nullopt;
    auto v = k->second.find(AsciiLower(name));
    if (v == k->second.end()) return std::nullopt;
    return v->second.second;
}

void SetString(const Key& key, const std::string& name, const std::string& value) {
    Value v;
    v.type = ValueType::String;
    v.text = value;
    v.bytes.assign(value.begin(), value.end());
    Put(key, name, v);
}

void SetDWord(const Key& key, const std::string& name, uint32_t value) {
    Value v;
    v.type = ValueType::DWord;
    v.number = value;
    v.bytes.resize(4);
    for (int i = 0; i < 4; ++i) v.bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    Put(key, name, v);
}

void SetBinary(const Key& key, const std::string& name, const std::vector<uint8_t>& value) {
    Value v;
    v.type = ValueType::Binary;
    v.bytes = value;
    Put(key, name, v);
}

void CreateKey(const Key& key) {
    Locked w;
    if (w->registryReadOnly) ThrowSystemError(5);
    Create(*w, key);
}

bool DeleteValue(const Key& key, const std::string& name) {
    Locked w;
    auto k = w->keys.find(KeyId(key));
    if (k == w->keys.end()) return false;
    return k->second.erase(AsciiLower(name)) != 0;
}

bool DeleteKey(const Key& key) {
    Locked w;
    const std::string id = KeyId(key);
    if (w->keys.erase(id) == 0) return false;
    w->keyNames.erase(id);
    // The key goes with everything below it.
    const std::string prefix = id + "\\";
    for (auto it = w->keys.lower_bound(prefix); it != w->keys.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
        w->keyNames.erase(it->first);
        it = w->keys.erase(it);
    }
    return true;
}

void SecureKey(const Key& key) {
    Locked w;
    if (w->registryReadOnly) ThrowSystemError(5);
    w->securedKeys.push_back(Create(*w, key));
}

std::vector<std::string> ValueNames(const Key& key) {
    Locked w;
    std::vector<std::string> out;
    auto k = w->keys.find(KeyId(key));
    if (k != w->keys.end())
        for (auto& [lower, nv] : k->second) out.push_back(nv.first);
    return out;
}

std::vector<std::string> SubKeyNames(const Key& key) {
    Locked w;
    std::vector<std::string> out;
    const std::string prefix = KeyId(key) + "\\";
    for (auto& [id, values] : w->keys) {
        if (id.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string rest = id.substr(prefix.size());
        if (rest.find('\\') != std::string::npos) continue;  // deeper down
        const auto name = w->keyNames.find(id);
        out.push_back(name != w->keyNames.end() ? name->second : rest);
    }
    return out;
}

}  // namespace platform::reg
