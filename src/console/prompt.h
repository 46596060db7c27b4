// The yes/no/quit question: the only place that reads standard input.
#pragma once

inline constexpr int AnswerYes = 0;
inline constexpr int AnswerNo = 1;
inline constexpr int AnswerQuit = 2;

// Under -s the answer is forcedAnswer (with FlagForce) or silentAnswer; under
// -y it is silentAnswer; otherwise the operator is asked and an empty line
// takes defaultAnswer.
int AskYesNoQuit(const char* question, int silentAnswer, int forcedAnswer, int defaultAnswer,
                 const char* defaultLabel);
