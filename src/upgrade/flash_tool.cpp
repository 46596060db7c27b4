#include "upgrade/flash_tool.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <string>

#include "catalog/image_kinds.h"
#include "console/output.h"
#include "state/records.h"
#include "state/run_state.h"

namespace {

constexpr char AnswersTemplate[] = "/tmp/fileXXXXXX";
// The tool may ask; the answers file quits any question it asks.
constexpr char AnswersContent[] = "q";

// A file holding the answer; its name stays in the template. When it cannot
// be made the command still runs as formed and its redirection fails.
void CreateAnswersFile(std::array<char, sizeof(AnswersTemplate)>& path)
{
    int fd = mkstemp(path.data());
    if (fd < 0)
        return;
    const size_t length = sizeof(AnswersContent) - 1;
    size_t written = 0;
    while (written < length) {
        ssize_t n = write(fd, AnswersContent + written, length - written);
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    close(fd);
}

} // namespace

bool FlashToolForced() { return HasFlag(FlagForce | FlagForceTool); }

int RunFlashTool(ImageKind kind, uint32_t adapter, const char* imagePath, const char* backupPath)
{
    std::array<char, sizeof(AnswersTemplate)> answersPath{};
    std::copy(std::begin(AnswersTemplate), std::end(AnswersTemplate), answersPath.begin());
    CreateAnswersFile(answersPath);

    std::string command = ShellWord(FlashToolPath);
    command += ' ';
    command += ShellWord(gRun.Installed[adapter].MacText);
    command += " upgrade ";
    if (FlashToolForced())
        command += "-F ";
    command += DescriptorOf(kind).ToolSwitch;
    command += ' ';
    command += ShellWord(imagePath);
    command += ' ';
    command += ShellWord(backupPath);
    command += " < ";
    command += ShellWord(answersPath.data());

    // The log file is complete while the tool runs; the next write reopens it.
    LogClose();
    return RunCommand(command.c_str());
}
