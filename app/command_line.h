// Turning what the process was started with into the target text.
#ifndef NIVOR_APP_COMMAND_LINE_H
#define NIVOR_APP_COMMAND_LINE_H

#include <string>
#include <vector>

// Splits a whole command line into arguments, program name first. Runs of
// blanks and tabs separate arguments; a double quote opens a stretch in which
// they do not, ending at the next double quote or the end of the line; a
// backslash right before a double quote makes that quote literal (it neither
// opens nor ends a stretch); every other backslash stays as it is; nothing is
// expanded.
std::vector<std::string> SplitCommandLine(const char* line);

// Argument 1 of an argument vector, or the empty text when there is none.
std::string TargetFromArguments(int argc, const char* const* argv);

// Argument 1 of a whole command line, split as SplitCommandLine does.
std::string TargetFromCommandLine(const char* line);

#endif
