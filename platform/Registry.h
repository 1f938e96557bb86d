#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Registry access. Every call opens the key, does one thing and closes it again.
// A missing key or value answers nullopt or false; other failures raise SystemError.
namespace platform::reg {

enum class Hive { LocalMachine, CurrentUser, Users, ClassesRoot };
// Wow32 and Wow64 pick the 32- or 64-bit view on 64-bit Windows.
enum class View { Default, Wow32, Wow64 };

enum class ValueType { String, ExpandString, DWord, QWord, Binary, MultiString, Other };

struct Value {
    ValueType type = ValueType::Other;
    std::string text;              // String, ExpandString
    uint64_t number = 0;           // DWord, QWord
    std::vector<uint8_t> bytes;    // raw data, always filled
};

struct Key {
    Hive hive = Hive::LocalMachine;
    std::string path;
    View view = View::Default;
};

bool KeyExists(const Key& key);
// nullopt when the key or the value does not exist; other failures raise SystemError.
std::optional<Value> QueryValue(const Key& key, const std::string& name);
// The writes create the key when it is missing.
void SetString(const Key& key, const std::string& name, const std::string& value);
void SetDWord(const Key& key, const std::string& name, uint32_t value);
void SetBinary(const Key& key, const std::string& name, const std::vector<uint8_t>& value);
void CreateKey(const Key& key);
// false when the value (or key) was not there.
bool DeleteValue(const Key& key, const std::string& name);
bool DeleteKey(const Key& key);
std::vector<std::string> ValueNames(const Key& key);
// Makes the key when missing and gives it a protected access list: SYSTEM
// and the administrators full control, nobody else anything.
void SecureKey(const Key& key);
std::vector<std::string> SubKeyNames(const Key& key);

}  // namespace platform::reg
