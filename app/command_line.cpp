#include "command_line.h"

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitCommandLine(const char* line) {
    std::vector<std::string> arguments;
    if (line == nullptr) return arguments;
    std::string current;
    bool in_argument = false;  // so that "" still yields an (empty) argument
    bool quoted = false;
    for (const char* at = line; *at != '\0'; ++at) {
        if (at[0] == '\\' && at[1] == '"') {
            current += '"';
            in_argument = true;
            ++at;
        } else if (*at == '"') {
            quoted = !quoted;
            in_argument = true;
        } else if (IsSeparator(*at) && !quoted) {
            if (in_argument) arguments.push_back(current);
            current.clear();
            in_argument = false;
        } else {
            current += *at;
            in_argument = true;
        }
    }
    if (in_argument) arguments.push_back(current);
    return arguments;
}

std::string TargetFromArguments(int argc, const char* const* argv) {
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) return std::string();
    return std::string(argv[1]);
}

std::string TargetFromCommandLine(const char* line) {
    const std::vector<std::string> arguments = SplitCommandLine(line);
    return arguments.size() > 1 ? arguments[1] : std::string();
}
