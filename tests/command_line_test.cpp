// The command-line rule of the Windows program, and argv on the others.
#include "command_line.h"

#include <gtest/gtest.h>

namespace {

using Arguments = std::vector<std::string>;

struct SplitCase {
    const char* line;
    Arguments arguments;
};

const SplitCase kSplitCases[] = {
    {"NIVOR", {"NIVOR"}},
    {"NIVOR host", {"NIVOR", "host"}},
    {"  NIVOR \t host\t", {"NIVOR", "host"}},
    {"NIVOR \"a b\"", {"NIVOR", "a b"}},
    {"NIVOR \"\"", {"NIVOR", ""}},
    {"NIVOR x \"y z\"", {"NIVOR", "x", "y z"}},
    // A backslash before a quote makes it literal; other backslashes stay,
    // two in a row included. Here the rule parts from the C runtime's.
    {"NIVOR a\\\\\"b c\"", {"NIVOR", "a\\\"b", "c"}},
    {"NIVOR \"C:\\dir\\\" x", {"NIVOR", "C:\\dir\" x"}},
    {"NIVOR a\\\\b", {"NIVOR", "a\\\\b"}},
    {"NIVOR \\\"q\\\"", {"NIVOR", "\"q\""}},
    {"NIVOR \"open stretch to the end", {"NIVOR", "open stretch to the end"}},
    {"NIVOR ab\"c d\"e f", {"NIVOR", "abc de", "f"}},
    {"NIVOR trailing\\", {"NIVOR", "trailing\\"}},
    {"NIVOR *.* ?", {"NIVOR", "*.*", "?"}},
    {"NIVOR -h /?", {"NIVOR", "-h", "/?"}},
    {"\"C:\\Program Files\\NIVOR.EXE\" 127.0.0.1", {"C:\\Program Files\\NIVOR.EXE", "127.0.0.1"}},
    {"", {}},
};

TEST(SplitCommandLineTest, FollowsTheProgramsOwnRule) {
    for (const SplitCase& split : kSplitCases) EXPECT_EQ(SplitCommandLine(split.line), split.arguments) << split.line;
    EXPECT_EQ(SplitCommandLine(nullptr), Arguments{});
}

TEST(TargetFromCommandLineTest, TakesArgumentOneOrTheEmptyText) {
    EXPECT_EQ(TargetFromCommandLine("NIVOR"), "");
    EXPECT_EQ(TargetFromCommandLine("NIVOR \"\""), "");
    EXPECT_EQ(TargetFromCommandLine("NIVOR x \"y z\""), "x");
    EXPECT_EQ(TargetFromCommandLine("NIVOR \"a b\" c"), "a b");
}

TEST(TargetFromArgumentsTest, TakesArgumentOneOrTheEmptyText) {
    const char* none[] = {"nivor", nullptr};
    const char* two[] = {"nivor", "first", "second", nullptr};
    const char* empty[] = {"nivor", "", nullptr};
    EXPECT_EQ(TargetFromArguments(1, none), "");
    EXPECT_EQ(TargetFromArguments(0, nullptr), "");
    EXPECT_EQ(TargetFromArguments(3, two), "first");
    EXPECT_EQ(TargetFromArguments(2, empty), "");
}

}  // namespace
