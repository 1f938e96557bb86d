#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform::sys {

// ---- time ----
// Local wall-clock time as days since 30.12.1899 (the fraction is the time of day).
double NowLocal();
// Milliseconds from an arbitrary start; never goes back.
uint64_t TickCountMs();
void SleepMs(uint32_t ms);

// ---- the running program and the machine ----
// The program's arguments (without the program itself) as UTF-8.
std::vector<std::string> CommandLineArgs(int argc, char** argv);
std::string ModulePath();              // full path of the running program
std::string ComputerNetName();         // NetBIOS name; empty when unknown
std::string SystemDir();
std::string WindowsDir();
std::string CommonAppDataDir();        // empty when the system can't tell
uint32_t CurrentProcessId();

struct OsVersion {
    uint32_t major = 0, minor = 0, build = 0;
};
// Raises SystemError when the version can't be read.
OsVersion GetOsVersion();
// Native processor architecture code (9 = x64), or nullopt when it can't be asked.
std::optional<uint16_t> NativeProcessorArchitecture();

// The fixed language block 040904E4 of a file's version resource; nullopt
// when the file has no version resource.
std::optional<std::string> VersionString(const std::string& filePath, const std::string& name);

// ---- processes ----
// Starts a program hidden, without waiting. Returns false when it could not start.
bool StartHidden(const std::string& commandLine);

// ---- console ----
// Handler gets the console control event; returns whether it handled it.
void SetConsoleCtrlHandler(std::function<bool(uint32_t event)> handler);
bool HasConsole();
// A message to the person who started the program: the console when there is
// one, else a message box with one OK button.
void ShowMessage(const std::string& text, bool isError);

// ---- named events ----
using EventHandle = uintptr_t;
// Raises SystemError when the event cannot be created.
EventHandle CreateNamedEvent(const std::string& name, bool manualReset, bool initialState);
bool SetNamedEvent(EventHandle handle);
void CloseNamedEvent(EventHandle handle);
// Test helper: the event's current state, or nullopt when the name is unknown.
std::optional<bool> PeekNamedEvent(const std::string& name);

// ---- text ----
// UTF-8 to the system's ANSI code page, as written to the log file.
std::string Utf8ToAnsi(const std::string& text);

}  // namespace platform::sys
