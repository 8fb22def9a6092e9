// Message boxes without a display, and the status trace.
#include "platform/headless.h"
#include "platform/messagebox.h"

#include <gtest/gtest.h>

namespace {

struct BlockCase {
    QString text;
    int flags;
    QString block;
};

class HeadlessBlockTest : public ::testing::TestWithParam<BlockCase> {};

TEST_P(HeadlessBlockTest, WritesTitleKindTextAndEmptyLine) {
    EXPECT_EQ(platform::HeadlessMessageText(GetParam().text, GetParam().flags), GetParam().block);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, HeadlessBlockTest,
    ::testing::Values(
        BlockCase{QStringLiteral("a\r\nb"), 48, QStringLiteral("Lumora Index Manager [Warning]\na\nb\n\n")},
        BlockCase{QStringLiteral("Index was built OK"), 64,
                  QStringLiteral("Lumora Index Manager [Information]\nIndex was built OK\n\n")},
        BlockCase{QStringLiteral("Do you want to stop the indexing process"), 36,
                  QStringLiteral("Lumora Index Manager [Question]\nDo you want to stop the indexing process\n"
                                 "(answered No)\n\n")}));

TEST(MessageBox, HeadlessQuestionIsAnsweredNo) {
    platform::SetHeadless(true);
    platform::SetMessageHook({});
    testing::internal::CaptureStderr();
    const int answer = platform::ShowMessage(QStringLiteral("Stop?"), platform::kMbQuestion);
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, platform::kIdNo);
    EXPECT_EQ(written, "Lumora Index Manager [Question]\nStop?\n(answered No)\n\n");
}

TEST(MessageBox, HookTakesPrecedenceOverEverything) {
    platform::SetHeadless(true);
    QString seen;
    platform::SetMessageHook([&seen](const QString& text, int) {
        seen = text;
        return platform::kIdYes;
    });
    testing::internal::CaptureStderr();
    EXPECT_EQ(platform::ShowMessage(QStringLiteral("Stop?"), platform::kMbQuestion), platform::kIdYes);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(seen, QStringLiteral("Stop?"));
    platform::SetMessageHook({});
}

TEST(StatusTrace, WritesAtMostOneLineASecondAndAlwaysTheLast) {
    platform::StatusTrace trace;
    testing::internal::CaptureStderr();
    for (int i = 1; i <= 500; ++i) trace.Update(QStringLiteral("Indexing: %1").arg(i));
    trace.Flush();
    const std::string written = testing::internal::GetCapturedStderr();
    // The loop takes far less than a second: the first line, then the last one.
    EXPECT_EQ(written, "Indexing: 1\nIndexing: 500\n");
}

TEST(StatusTrace, PendingLineIsWrittenBeforeAHeadlessBox) {
    platform::SetHeadless(true);
    platform::SetMessageHook({});
    platform::StatusTrace trace;
    testing::internal::CaptureStderr();
    trace.Update(QStringLiteral("Indexing: 1"));
    trace.Update(QStringLiteral("Indexing failed after 1 documents"));
    platform::ShowMessage(QStringLiteral("Indexing aborted"), platform::kMbWarning);
    trace.Flush();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Indexing: 1\nIndexing failed after 1 documents\n"
              "Lumora Index Manager [Warning]\nIndexing aborted\n\n");
}

}  // namespace
