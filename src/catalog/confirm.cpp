#include "catalog/confirm.h"

#include <cstdio>

#include "catalog/image_kinds.h"
#include "console/output.h"
#include "console/prompt.h"
#include "state/records.h"
#include "state/run_state.h"

namespace {

// The prompt shows the question in a line of at most 79 characters.
constexpr size_t QuestionSize = 80;

enum class Comparison { Newer, Same, Older };

// An invalid selected version never gets here: callers count it as older.
Comparison Compare(FirmwareVersion installed, FirmwareVersion selected)
{
    if (selected.Major != installed.Major)
        return selected.Major > installed.Major ? Comparison::Newer : Comparison::Older;
    if (selected.Minor != installed.Minor)
        return selected.Minor > installed.Minor ? Comparison::Newer : Comparison::Older;
    if (selected.Build != installed.Build)
        return selected.Build > installed.Build ? Comparison::Newer : Comparison::Older;
    return Comparison::Same;
}

// A newer image is proposed with yes. Anything else is warned about, and
// every later flashing tool run is forced, whatever the operator answers.
int Ask(const char* description, Comparison comparison, const VersionWarnings& warnings)
{
    char question[QuestionSize];
    std::snprintf(question, sizeof question, "%s %s - ", "Update", description);

    if (comparison == Comparison::Newer)
        return AskYesNoQuit(question, AnswerYes, AnswerYes, AnswerYes, "y");

    Output("%s", comparison == Comparison::Same ? warnings.Same : warnings.Older);
    SetFlag(FlagForceTool);
    return AskYesNoQuit(question, AnswerNo, AnswerYes, AnswerNo, "n");
}

// Describes the change with the kind's formatter and asks about it.
int AskAbout(ImageKind kind, const InstalledFirmware& installed, const ImageSelection& selection,
             Comparison comparison)
{
    const ImageKindDescriptor& descriptor = DescriptorOf(kind);
    char description[DescriptionSize] = "";
    descriptor.Describe(installed, selection, description);
    return Ask(description, comparison, descriptor.Warnings);
}

bool HasSelectedVersion(ImageKind kind, const ImageSelection& selection)
{
    return (selection.SelectionFlags & DescriptorOf(kind).VersionBit) != 0;
}

// Boot code and PXE: an image whose version could not be read counts as older.
int ConfirmByVersion(ImageKind kind, const InstalledFirmware& installed, const ImageSelection& selection)
{
    const ImageKindDescriptor& descriptor = DescriptorOf(kind);
    const Comparison comparison =
        HasSelectedVersion(kind, selection)
            ? Compare(descriptor.Installed(installed), descriptor.Selected(selection))
            : Comparison::Older;
    return AskAbout(kind, installed, selection, comparison);
}

// "<from> M.m.b to <to>M.m.b". Version numbers stay below 2^31 (the catalog
// reader caps them), so "%d" shows them as they are.
void DescribeChange(char* text, const char* from, const char* to, FirmwareVersion installed,
                    FirmwareVersion selected)
{
    std::snprintf(text, DescriptionSize, "%s %d.%d.%d to %s%d.%d.%d", from, static_cast<int>(installed.Major),
                  static_cast<int>(installed.Minor), static_cast<int>(installed.Build), to,
                  static_cast<int>(selected.Major), static_cast<int>(selected.Minor),
                  static_cast<int>(selected.Build));
}

void DescribeSameKind(ImageKind kind, const char* name, const InstalledFirmware& installed,
                      const ImageSelection& selection, char* text)
{
    const ImageKindDescriptor& descriptor = DescriptorOf(kind);
    if (HasSelectedVersion(kind, selection))
        DescribeChange(text, name, "", descriptor.Installed(installed), descriptor.Selected(selection));
}

} // namespace

void DescribeBootCode(const InstalledFirmware& installed, const ImageSelection& selection, char* text)
{
    DescribeSameKind(ImageKind::BootCode, "Boot Code", installed, selection, text);
}

void DescribePxe(const InstalledFirmware& installed, const ImageSelection& selection, char* text)
{
    DescribeSameKind(ImageKind::Pxe, "PXE", installed, selection, text);
}

// Each applicable text is written in turn, so the last one stands. The
// installed numbers are the CLP fields whatever the installed image.
void DescribeClp(const InstalledFirmware& installed, const ImageSelection& selection, char* text)
{
    if (!HasSelectedVersion(ImageKind::Clp, selection))
        return;
    const ImageKindDescriptor& clp = DescriptorOf(ImageKind::Clp);
    const FirmwareVersion from = clp.Installed(installed);
    const FirmwareVersion to = clp.Selected(selection);
    if ((installed.InstalledFlags & InstIscsiVersion) != 0)
        DescribeChange(text, "iSCSI", "CLP ", from, to);
    if ((installed.InstalledFlags & InstPxeVersion) != 0)
        DescribeChange(text, "PXE", "CLP ", from, to);
    if ((installed.InstalledFlags & InstClpVersion) != 0)
        DescribeChange(text, "CLP", "", from, to);
}

int ConfirmBootCode(const InstalledFirmware& installed, const ImageSelection& selection)
{
    return ConfirmByVersion(ImageKind::BootCode, installed, selection);
}

int ConfirmPxe(const InstalledFirmware& installed, const ImageSelection& selection)
{
    return ConfirmByVersion(ImageKind::Pxe, installed, selection);
}

int ConfirmClp(const InstalledFirmware& installed, const ImageSelection& selection)
{
    const ImageKindDescriptor& clp = DescriptorOf(ImageKind::Clp);
    Comparison comparison = Comparison::Older;
    if (HasSelectedVersion(ImageKind::Clp, selection)) {
        if ((installed.InstalledFlags & (InstClpVersion | InstIscsiVersion)) != 0)
            comparison = Compare(clp.Installed(installed), clp.Selected(selection));
        // Replacing a PXE image by CLP is always an upgrade, and the tool
        // must be forced to do it.
        if ((installed.InstalledFlags & InstPxeVersion) != 0) {
            comparison = Comparison::Newer;
            SetFlag(FlagForce);
        }
    }
    return AskAbout(ImageKind::Clp, installed, selection, comparison);
}
