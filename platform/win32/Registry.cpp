#include "platform/Registry.h"

#include <cstring>

#include "platform/win32/WinText.h"
// After windows.h: it needs the declarations that header brings.
#include <sddl.h>

namespace platform::reg {
namespace {

HKEY Root(Hive hive) {
    switch (hive) {
    case Hive::CurrentUser: return HKEY_CURRENT_USER;
    case Hive::Users: return HKEY_USERS;
    case Hive::ClassesRoot: return HKEY_CLASSES_ROOT;
    case Hive::LocalMachine: break;
    }
    return HKEY_LOCAL_MACHINE;
}

REGSAM ViewFlag(View view) {
    switch (view) {
    case View::Wow32: return KEY_WOW64_32KEY;
    case View::Wow64: return KEY_WOW64_64KEY;
    case View::Default: break;
    }
    return 0;
}

class OpenKey {
public:
    ~OpenKey() {
        if (h_) RegCloseKey(h_);
    }
    // Returns the system error; 0 on success.
    LONG Open(const Key& key, REGSAM access) {
        return RegOpenKeyExW(Root(key.hive), win::Wide(key.path).c_str(), 0, access | ViewFlag(key.view), &h_);
    }
    LONG Create(const Key& key, REGSAM access) {
        return RegCreateKeyExW(Root(key.hive), win::Wide(key.path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               access | ViewFlag(key.view), nullptr, &h_, nullptr);
    }
    HKEY get() const { return h_; }

private:
    HKEY h_ = nullptr;
};

void Check(LONG rc) {
    if (rc != ERROR_SUCCESS) ThrowSystemError(static_cast<uint32_t>(rc));
}

void SetRaw(const Key& key, const std::string& name, DWORD type, const void* data, DWORD size) {
    OpenKey k;
    Check(k.Create(key, KEY_SET_VALUE));
    Check(RegSetValueExW(k.get(), win::Wide(name).c_str(), 0, type, static_cast<const BYTE*>(data), size));
}

std::string StringData(const std::vector<uint8_t>& bytes) {
    const size_t chars = bytes.size() / sizeof(wchar_t);
    std::wstring w(chars, L'\0');
    if (chars) std::memcpy(w.data(), bytes.data(), chars * sizeof(wchar_t));
    while (!w.empty() && w.back() == L'\0') w.pop_back();
    return win::Utf8(w);
}

}  // namespace

bool KeyExists(const Key& key) {
    OpenKey k;
    return k.Open(key, KEY_READ) == ERROR_SUCCESS;
}

std::optional<Value> QueryValue(const Key& key, const std::string& name) {
    OpenKey k;
    LONG rc = k.Open(key, KEY_QUERY_VALUE);
    if (rc == ERROR_FILE_NOT_FOUND) return std::nullopt;
    Check(rc);
    const std::wstring wname = win::Wide(name);
    DWORD type = 0;
    DWORD size = 0;
    std::vector<uint8_t> data;
    // The value may grow between the size query and the read; ask again then,
    // but not for ever: a value that keeps growing is an error, never a stale buffer.
    rc = ERROR_MORE_DATA;
    for (int attempt = 0; attempt < 8 && rc == ERROR_MORE_DATA; ++attempt) {
        rc = RegQueryValueExW(k.get(), wname.c_str(), nullptr, &type, nullptr, &size);
        if (rc == ERROR_FILE_NOT_FOUND) return std::nullopt;
        Check(rc);
        data.assign(size, 0);
        rc = RegQueryValueExW(k.get(), wname.c_str(), nullptr, &type, data.empty() ? nullptr : data.data(), &size);
    }
    if (rc == ERROR_FILE_NOT_FOUND) return std::nullopt;
    Check(rc);
    data.resize(size);
    Value v;
    v.bytes = data;
    switch (type) {
    case REG_SZ:
        v.type = ValueType::String;
        v.text = StringData(data);
        break;
    case REG_EXPAND_SZ:
        v.type = ValueType::ExpandString;
        v.text = StringData(data);
        break;
    // A number of the wrong size is no number: it reads as a value of another type.
    case REG_DWORD:
        if (data.size() == 4) {
            uint32_t n;
            std::memcpy(&n, data.data(), 4);
            v.type = ValueType::DWord;
            v.number = n;
        } else {
            v.type = ValueType::Other;
        }
        break;
    case REG_QWORD:
        if (data.size() == 8) {
            std::memcpy(&v.number, data.data(), 8);
            v.type = ValueType::QWord;
        } else {
            v.type = ValueType::Other;
        }
        break;
    case REG_BINARY: v.type = ValueType::Binary; break;
    case REG_MULTI_SZ: v.type = ValueType::MultiString; break;
    default: v.type = ValueType::Other; break;
    }
    return v;
}

void SetString(const Key& key, const std::string& name, const std::string& value) {
    const std::wstring w = win::Wide(value);
    SetRaw(key, name, REG_SZ, w.c_str(), static_cast<DWORD>((w.size() + 1) * sizeof(wchar_t)));
}

void SetDWord(const Key& key, const std::string& name, uint32_t value) {
    SetRaw(key, name, REG_DWORD, &value, sizeof value);
}

void SetBinary(const Key& key, const std::string& name, const std::vector<uint8_t>& value) {
    SetRaw(key, name, REG_BINARY, value.data(), static_cast<DWORD>(value.size()));
}

void CreateKey(const Key& key) {
    OpenKey k;
    Check(k.Create(key, KEY_READ));
}

bool DeleteValue(const Key& key, const std::string& name) {
    OpenKey k;
    LONG rc = k.Open(key, KEY_SET_VALUE);
    if (rc == ERROR_FILE_NOT_FOUND) return false;
    Check(rc);
    rc = RegDeleteValueW(k.get(), win::Wide(name).c_str());
    if (rc == ERROR_FILE_NOT_FOUND) return false;
    Check(rc);
    return true;
}

bool DeleteKey(const Key& key) {
    {
        // Sub-keys go first; a key with children can't be deleted.
        OpenKey k;
        LONG rc = k.Open(key, KEY_ALL_ACCESS);
        if (rc == ERROR_FILE_NOT_FOUND) return false;
        Check(rc);
        rc = RegDeleteTreeW(k.get(), nullptr);
        if (rc != ERROR_FILE_NOT_FOUND) Check(rc);
    }
    const LONG rc = RegDeleteKeyExW(Root(key.hive), win::Wide(key.path).c_str(), ViewFlag(key.view), 0);
    if (rc == ERROR_FILE_NOT_FOUND) return false;
    Check(rc);
    return true;
}

std::vector<std::string> ValueNames(const Key& key) {
    std::vector<std::string> names;
    OpenKey k;
    if (k.Open(key, KEY_QUERY_VALUE) != ERROR_SUCCESS) return names;
    DWORD count = 0, maxLen = 0;
    if (RegQueryInfoKeyW(k.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &maxLen, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return names;
    std::wstring buf(maxLen + 1, L'\0');
    for (DWORD i = 0;; ++i) {
        DWORD len = static_cast<DWORD>(buf.size());
        const LONG rc = RegEnumValueW(k.get(), i, buf.data(), &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) {
            buf.resize(buf.size() * 2);
            --i;
            continue;
        }
        if (rc != ERROR_SUCCESS) break;
        names.push_back(win::Utf8(buf.data(), len));
    }
    return names;
}

std::vector<std::string> SubKeyNames(const Key& key) {
    std::vector<std::string> names;
    OpenKey k;
    if (k.Open(key, KEY_ENUMERATE_SUB_KEYS) != ERROR_SUCCESS) return names;
    wchar_t buf[256];
    for (DWORD i = 0;; ++i) {
        DWORD len = 256;  // key names are limited to 255 characters
        if (RegEnumKeyExW(k.get(), i, buf, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.push_back(win::Utf8(buf, len));
    }
    return names;
}

void SecureKey(const Key& key) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)", SDDL_REVISION_1,
                                                              &sd, nullptr))
        ThrowSystemError(GetLastError());
    OpenKey k;
    LONG rc = k.Create(key, WRITE_DAC | WRITE_OWNER);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetKeySecurity(k.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                             PROTECTED_DACL_SECURITY_INFORMATION, sd);
        // Only the list where the owner can't be set.
        if (rc != ERROR_SUCCESS)
            rc = RegSetKeySecurity(k.get(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, sd);
    }
    LocalFree(sd);
    Check(rc);
}

}  // namespace platform::reg
