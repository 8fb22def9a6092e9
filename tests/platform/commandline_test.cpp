// The command-line text handed to the parser.
#include "platform/commandline.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    QStringList arguments;
    QString text;
};

class CommandLineTextTest : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLineTextTest, JoinsAsTypedOnWindows) {
    EXPECT_EQ(platform::CommandLineText(GetParam().arguments), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineTextTest,
    ::testing::Values(Case{{}, QString()},
                      Case{{QStringLiteral("/auto"), QStringLiteral("/index"), QStringLiteral("Sales")},
                           QStringLiteral("/auto /index Sales")},
                      Case{{QStringLiteral("/index"), QStringLiteral("My Idx")}, QStringLiteral("/index \"My Idx\"")},
                      Case{{QStringLiteral("/index"), QString(), QStringLiteral("/auto")},
                           QStringLiteral("/index  /auto")},
                      Case{{QStringLiteral("a\tb")}, QStringLiteral("a\tb")}));

}  // namespace
