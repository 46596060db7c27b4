#include "console/output.h"

#include <cstdarg>
#include <cstdio>

#include "state/run_state.h"

namespace {

// Absent at program start and after LogClose. Line-buffered.
FILE* logStream = nullptr;

// Opens the log once per LogClose cycle; a failed attempt is not repeated.
void OpenLogIfDue()
{
    if (HasFlag(FlagLogOpen) || !HasFlag(FlagLogEnabled))
        return;
    SetFlag(FlagLogOpen);
    logStream = std::fopen(LogFilePath, "a");
    // Each line reaches the file as it is written, also in a run that is killed.
    if (logStream != nullptr)
        std::setvbuf(logStream, nullptr, _IOLBF, 0);
}

__attribute__((format(printf, 1, 0))) void WriteLog(const char* format, va_list args)
{
    if (HasFlag(FlagLogEnabled) && logStream != nullptr)
        std::vfprintf(logStream, format, args);
}

__attribute__((format(printf, 1, 0))) void VOutput(const char* format, va_list args)
{
    OpenLogIfDue();
    va_list consoleArgs;
    va_copy(consoleArgs, args);
    WriteLog(format, args);
    // A log that cannot be opened must not swallow the console copy.
    if (!HasFlag(FlagSilent))
        std::vprintf(format, consoleArgs);
    va_end(consoleArgs);
}

__attribute__((format(printf, 1, 0))) void VLogWrite(const char* format, va_list args)
{
    OpenLogIfDue();
    WriteLog(format, args);
}

} // namespace

void Output(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    VOutput(format, args);
    va_end(args);
}

void log_write(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    VLogWrite(format, args);
    va_end(args);
}

void OutputConsoleOnly(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LogSuspend();
    VOutput(format, args);
    LogResume();
    va_end(args);
}

void ReportError(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list consoleArgs;
    va_copy(consoleArgs, args);
    VLogWrite(format, args);
    LogSuspend();
    VOutput(format, consoleArgs);
    LogResume();
    va_end(consoleArgs);
    va_end(args);
}

void LogResume() { SetFlag(FlagLogEnabled); }

void LogSuspend() { ClearFlag(FlagLogEnabled); }

void LogFlush()
{
    if (logStream != nullptr)
        std::fflush(logStream);
}

void LogClose()
{
    ClearFlag(FlagLogOpen);
    if (logStream != nullptr) {
        std::fclose(logStream);
        logStream = nullptr;
    }
}

std::string ShellWord(std::string_view text)
{
    constexpr std::string_view literal =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./:=@%+,-";
    if (text.find_first_not_of(literal) == std::string_view::npos)
        return std::string(text);
    std::string word = "'";
    for (char c : text) {
        if (c == '\'')
            word += "'\\''";
        else
            word += c;
    }
    word += '\'';
    return word;
}
