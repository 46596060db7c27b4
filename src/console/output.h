// Console and log output, and the shell command runner. The caller picks a
// writer (both channels, log only, console only, or a failure report); which
// of its channels are open is decided by OptionFlags (FlagSilent,
// FlagLogEnabled).
#pragma once

#include <string>
#include <string_view>

inline constexpr char LogFilePath[] = "/var/opt/orvan/nicfwupg.log";

// Console (unless FlagSilent) and log (when FlagLogEnabled).
void Output(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Log only (when FlagLogEnabled).
void log_write(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Console only: the message goes out between LogSuspend and LogResume.
void OutputConsoleOnly(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A failed external step: to the log only, then to the console only, so that
// each receives it once.
void ReportError(const char* format, ...) __attribute__((format(printf, 1, 2)));

void LogResume();
void LogSuspend();
// Hands a line still open in the log (a question waiting for its answer) to the file.
void LogFlush();
void LogClose();

// The shell's exit status: 0..255, 255 when no shell could be started,
// 128 + signal when the shell itself was killed.
int RunCommand(const char* commandLine);

// A field for a shell command line: unchanged when empty or made only of
// characters the shell takes literally, otherwise single-quoted, so that a
// file name, MAC text or interface name can neither split nor inject.
std::string ShellWord(std::string_view text);
