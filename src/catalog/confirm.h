// Version comparison, warnings, questions and the description texts.
#pragma once

#include <cstddef>

struct InstalledFirmware;
struct ImageSelection;

inline constexpr size_t DescriptionSize = 80;

// Return AnswerYes, AnswerNo or AnswerQuit.
int ConfirmBootCode(const InstalledFirmware& installed, const ImageSelection& selection);
int ConfirmPxe(const InstalledFirmware& installed, const ImageSelection& selection);
int ConfirmClp(const InstalledFirmware& installed, const ImageSelection& selection);

// Write the description into text (DescriptionSize bytes) when the selected
// version is valid; otherwise leave text as it is.
void DescribeBootCode(const InstalledFirmware& installed, const ImageSelection& selection, char* text);
void DescribePxe(const InstalledFirmware& installed, const ImageSelection& selection, char* text);
void DescribeClp(const InstalledFirmware& installed, const ImageSelection& selection, char* text);
