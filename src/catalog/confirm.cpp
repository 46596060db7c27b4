#include "catalog/confirm.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "adapters/records.h"
#include "console/output.h"
#include "console/prompt.h"
#include "main/run_state.h"

namespace {

// The prompt shows the question in a line of at most 79 characters.
constexpr size_t QuestionSize = 80;

enum class Comparison { Newer, Same, Older };

struct Version {
    uint32_t major, minor, build;
};

// An invalid selected version never gets here: callers count it as older.
Comparison Compare(Version installed, Version selected)
{
    if (selected.major != installed.major)
        return selected.major > installed.major ? Comparison::Newer : Comparison::Older;
    if (selected.minor != installed.minor)
        return selected.minor > installed.minor ? Comparison::Newer : Comparison::Older;
    if (selected.build != installed.build)
        return selected.build > installed.build ? Comparison::Newer : Comparison::Older;
    return Comparison::Same;
}

struct Warnings {
    const char* same;
    const char* older;
};

constexpr Warnings BootCodeWarnings = {
    "*** WARNING *** - Installed Boot Code is the same version as selected Boot Code.\n",
    "*** WARNING *** - Installed Boot Code is more recent than selected Boot Code.\n"};
constexpr Warnings PxeWarnings = {"*** WARNING *** - Installed PXE is the same version as selected PXE.\n",
                                  "*** WARNING *** - Installed PXE is more recent than selected PXE.\n"};
constexpr Warnings ClpWarnings = {"*** WARNING *** - Installed CLP is the same version as selected CLP.\n",
                                  "*** WARNING *** - Installed CLP is more recent than selected CLP.\n"};

// A newer image is proposed with yes. Anything else is warned about, and
// every later flashing tool run is forced, whatever the operator answers.
int Ask(const char* description, Comparison comparison, const Warnings& warnings)
{
    char question[QuestionSize];
    std::snprintf(question, sizeof question, "%s %s - ", "Update", description);

    if (comparison == Comparison::Newer)
        return AskYesNoQuit(question, AnswerYes, AnswerYes, AnswerYes, "y");

    Output("%s", comparison == Comparison::Same ? warnings.same : warnings.older);
    SetFlag(FlagForceTool);
    return AskYesNoQuit(question, AnswerNo, AnswerYes, AnswerNo, "n");
}

Version InstalledBootCode(const InstalledFirmware& i)
{
    return {i.BootCodeMajor, i.BootCodeMinor, i.BootCodeBuild};
}
Version SelectedBootCode(const ImageSelection& s)
{
    return {s.BootCodeMajor, s.BootCodeMinor, s.BootCodeBuild};
}
Version InstalledPxe(const InstalledFirmware& i) { return {i.PxeMajor, i.PxeMinor, i.PxeBuild}; }
Version SelectedPxe(const ImageSelection& s) { return {s.PxeMajor, s.PxeMinor, s.PxeBuild}; }
Version InstalledClp(const InstalledFirmware& i) { return {i.ClpMajor, i.ClpMinor, i.ClpBuild}; }
Version SelectedClp(const ImageSelection& s) { return {s.ClpMajor, s.ClpMinor, s.ClpBuild}; }

// Version numbers stay below 2^31 (the catalog reader caps them), so "%d"
// shows them as they are.
__attribute__((format(printf, 2, 3))) void Describe(char* text, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, DescriptionSize, format, args);
    va_end(args);
}

#define VERSION_ARGS(v) static_cast<int>((v).major), static_cast<int>((v).minor), static_cast<int>((v).build)

} // namespace

void DescribeBootCode(const InstalledFirmware& installed, const ImageSelection& selection, char* text)
{
    if ((selection.SelectionFlags & SelBootCodeVersion) != 0)
        Describe(text, "Boot Code %d.%d.%d to %d.%d.%d", VERSION_ARGS(InstalledBootCode(installed)),
                 VERSION_ARGS(SelectedBootCode(selection)));
}

void DescribePxe(const InstalledFirmware& installed, const ImageSelection& selection, char* text)
{
    if ((selection.SelectionFlags & SelPxeVersion) != 0)
        Describe(text, "PXE %d.%d.%d to %d.%d.%d", VERSION_ARGS(InstalledPxe(installed)),
                 VERSION_ARGS(SelectedPxe(selection)));
}

// Each applicable text is written in turn, so the last one stands. The
// installed numbers are the CLP fields whatever the installed image.
void DescribeClp(const InstalledFirmware& installed, const ImageSelection& selection, char* text)
{
    if ((selection.SelectionFlags & SelClpVersion) == 0)
        return;
    const Version from = InstalledClp(installed);
    const Version to = SelectedClp(selection);
    if ((installed.InstalledFlags & InstIscsiVersion) != 0)
        Describe(text, "iSCSI %d.%d.%d to CLP %d.%d.%d", VERSION_ARGS(from), VERSION_ARGS(to));
    if ((installed.InstalledFlags & InstPxeVersion) != 0)
        Describe(text, "PXE %d.%d.%d to CLP %d.%d.%d", VERSION_ARGS(from), VERSION_ARGS(to));
    if ((installed.InstalledFlags & InstClpVersion) != 0)
        Describe(text, "CLP %d.%d.%d to %d.%d.%d", VERSION_ARGS(from), VERSION_ARGS(to));
}

namespace {

// Boot code and PXE: an image whose version could not be read counts as older.
int ConfirmByVersion(const char* description, bool valid, Version installed, Version selected,
                     const Warnings& warnings)
{
    const Comparison comparison = valid ? Compare(installed, selected) : Comparison::Older;
    return Ask(description, comparison, warnings);
}

} // namespace

int ConfirmBootCode(const InstalledFirmware& installed, const ImageSelection& selection)
{
    char description[DescriptionSize] = "";
    DescribeBootCode(installed, selection, description);
    return ConfirmByVersion(description, (selection.SelectionFlags & SelBootCodeVersion) != 0,
                            InstalledBootCode(installed), SelectedBootCode(selection), BootCodeWarnings);
}

int ConfirmPxe(const InstalledFirmware& installed, const ImageSelection& selection)
{
    char description[DescriptionSize] = "";
    DescribePxe(installed, selection, description);
    return ConfirmByVersion(description, (selection.SelectionFlags & SelPxeVersion) != 0,
                            InstalledPxe(installed), SelectedPxe(selection), PxeWarnings);
}

int ConfirmClp(const InstalledFirmware& installed, const ImageSelection& selection)
{
    char description[DescriptionSize] = "";
    DescribeClp(installed, selection, description);
    Comparison comparison = Comparison::Older;
    if ((selection.SelectionFlags & SelClpVersion) != 0) {
        if ((installed.InstalledFlags & (InstClpVersion | InstIscsiVersion)) != 0)
            comparison = Compare(InstalledClp(installed), SelectedClp(selection));
        // Replacing a PXE image by CLP is always an upgrade, and the tool
        // must be forced to do it.
        if ((installed.InstalledFlags & InstPxeVersion) != 0) {
            comparison = Comparison::Newer;
            SetFlag(FlagForce);
        }
    }
    return Ask(description, comparison, ClpWarnings);
}
