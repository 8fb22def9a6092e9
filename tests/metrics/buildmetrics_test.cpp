// Tests of the monitoring figures of a build run and their text.
#include "metrics/buildmetrics.h"

#include <gtest/gtest.h>

#include "support/promtext.h"

namespace {

using metrics::BuildMetrics;
using metrics::RunFigures;

const QStringList kGauges = {
    QStringLiteral("lumora_index_last_run_timestamp_seconds"),
    QStringLiteral("lumora_index_last_success_timestamp_seconds"),
    QStringLiteral("lumora_index_last_run_success"),
    QStringLiteral("lumora_index_documents"),
    QStringLiteral("lumora_index_build_seconds"),
    QStringLiteral("lumora_index_usernode_seconds"),
    QStringLiteral("lumora_index_usernode_users"),
    QStringLiteral("lumora_index_propagation_seconds"),
    QStringLiteral("lumora_index_targets_failed"),
    QStringLiteral("lumora_index_last_run_failed_step"),
    QStringLiteral("lumora_index_usernode_unlisted_users"),
    QStringLiteral("lumora_index_build_applied_changes"),
    QStringLiteral("lumora_index_documents_added"),
    QStringLiteral("lumora_index_documents_replaced"),
    QStringLiteral("lumora_index_documents_deleted"),
};

TEST(MetricsFileName, OneFilePerIndexAndNoPathSeparator) {
    struct Case {
        QString index;
        QString file;
    };
    const Case cases[] = {
        {QStringLiteral("catalog"), QStringLiteral("lumora_index_catalog.prom")},
        {QStringLiteral("My_Idx-2.old"), QStringLiteral("lumora_index_My_Idx-2.old.prom")},
        {QStringLiteral("My Idx"), QStringLiteral("lumora_index_My%20Idx.prom")},
        {QStringLiteral("../etc/passwd"), QStringLiteral("lumora_index_..%2Fetc%2Fpasswd.prom")},
        {QStringLiteral("50%"), QStringLiteral("lumora_index_50%25.prom")},
        {QStringLiteral("50%25"), QStringLiteral("lumora_index_50%2525.prom")},
        {QString::fromUtf8("Bücher"), QStringLiteral("lumora_index_B%C3%BCcher.prom")},
        {QString(), QStringLiteral("lumora_index_.prom")},
    };
    QStringList seen;
    for (const Case& c : cases) {
        EXPECT_EQ(metrics::FileName(c.index), c.file) << c.index.toStdString();
        seen << metrics::FileName(c.index);
    }
    seen.removeDuplicates();
    EXPECT_EQ(seen.size(), std::size(cases));
}

TEST(MetricsLabel, EscapesWhatTheTextFormatRequires) {
    struct Case {
        QString value;
        QString escaped;
    };
    const Case cases[] = {
        {QStringLiteral("catalog"), QStringLiteral("catalog")},
        {QStringLiteral("say \"hi\""), QStringLiteral("say \\\"hi\\\"")},
        {QStringLiteral("C:\\idx"), QStringLiteral("C:\\\\idx")},
        {QStringLiteral("two\nlines"), QStringLiteral("two\\nlines")},
        {QStringLiteral("\\\"\n"), QStringLiteral("\\\\\\\"\\n")},
        {QString::fromUtf8("Bücher {1}"), QString::fromUtf8("Bücher {1}")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(metrics::EscapeLabelValue(c.value), c.escaped) << c.value.toStdString();
}

TEST(MetricsText, EveryGaugeWithHelpTypeAndTheRunsValue) {
    RunFigures f;
    f.runTimeMs = 1765250000123;
    f.lastSuccessMs = 1765163600007;
    f.success = false;
    f.documents = 4000;
    f.buildMs = 1500;
    f.userNodeMs = 7;
    f.users = 12;
    f.propagationMs = 61234;
    f.targetsFailed = 2;
    f.unlistedUsers = 5;
    f.failedStep = QStringLiteral("usernodes");
    f.build = {component::BuildMode::Full, QStringLiteral("more than 30% of the documents changed"), 30, 20,
               10};
    f.bytesSent = {
        {QStringLiteral("ssh://web1/srv/idx"), 9700000, {}},
        {QStringLiteral("/mnt/b \"x\""), 0, {}},
        {QStringLiteral("store:s3:idx/catalog"), 5500000, component::PublishedVersion{42, 3, false}}};
    const QByteArray text = metrics::MetricsText(QStringLiteral("catalog"), f);
    ASSERT_TRUE(text.endsWith('\n'));
    const QMap<QString, QString> expected = {
        {kGauges[0], QStringLiteral("1765250000.123")},
        {kGauges[1], QStringLiteral("1765163600.007")},
        {kGauges[2], QStringLiteral("0")},
        {kGauges[3], QStringLiteral("4000")},
        {kGauges[4], QStringLiteral("1.500")},
        {kGauges[5], QStringLiteral("0.007")},
        {kGauges[6], QStringLiteral("12")},
        {kGauges[7], QStringLiteral("61.234")},
        {kGauges[8], QStringLiteral("2")},
        {kGauges[9] + QStringLiteral("{index=\"catalog\",step=\"usernodes\"}"), QStringLiteral("1")},
        {kGauges[10], QStringLiteral("5")},
        {kGauges[11], QStringLiteral("0")},
        {QStringLiteral(
             "lumora_index_built_in_full_because{index=\"catalog\",reason=\"more than 30% of the documents "
             "changed\"}"),
         QStringLiteral("1")},
        {kGauges[12], QStringLiteral("30")},
        {kGauges[13], QStringLiteral("20")},
        {kGauges[14], QStringLiteral("10")},
        {QStringLiteral("lumora_index_target_bytes_sent{index=\"catalog\",target=\"ssh://web1/srv/idx\"}"),
         QStringLiteral("9700000")},
        {QStringLiteral("lumora_index_target_bytes_sent{index=\"catalog\",target=\"/mnt/b \\\"x\\\"\"}"),
         QStringLiteral("0")},
        {QStringLiteral("lumora_index_target_bytes_sent{index=\"catalog\",target=\"store:s3:idx/catalog\"}"),
         QStringLiteral("5500000")},
        {QStringLiteral(
             "lumora_index_store_objects_uploaded{index=\"catalog\",target=\"store:s3:idx/catalog\"}"),
         QStringLiteral("3")},
        {QStringLiteral("lumora_index_store_version{index=\"catalog\",target=\"store:s3:idx/catalog\"}"),
         QStringLiteral("42")},
        {QStringLiteral(
             "lumora_index_store_published_whole{index=\"catalog\",target=\"store:s3:idx/catalog\"}"),
         QStringLiteral("0")},
    };
    EXPECT_EQ(testsupport::Samples(text, QStringLiteral("catalog")), expected);
    const QString all = QString::fromUtf8(text);
    for (const QString& gauge : kGauges) {
        EXPECT_TRUE(all.contains(QStringLiteral("\n# TYPE ") + gauge + QStringLiteral(" gauge\n")) ||
                    all.startsWith(QStringLiteral("# TYPE ") + gauge))
            << gauge.toStdString();
        EXPECT_TRUE(all.contains(QStringLiteral("# HELP ") + gauge + u' ')) << gauge.toStdString();
    }
    // A success names no step; users nobody counted are left out, not shown as 0.
    f.success = true;
    f.unlistedUsers = -1;
    const QMap<QString, QString> success =
        testsupport::Samples(metrics::MetricsText(QStringLiteral("catalog"), f), QStringLiteral("catalog"));
    EXPECT_EQ(success.value(kGauges[2]), QStringLiteral("1"));
    EXPECT_EQ(success.value(kGauges[9] + QStringLiteral("{index=\"catalog\",step=\"none\"}")), u"0");
    EXPECT_FALSE(success.contains(kGauges[10]));
}

TEST(MetricsText, PromtoolAcceptsItForAwkwardIndexNames) {
    const QString promtool = testsupport::Promtool();
    if (promtool.isEmpty()) {
        if (testsupport::PromtoolRequired()) FAIL() << "promtool is not installed";
        GTEST_SKIP() << "promtool is not installed (scripts/test.sh unpacks it)";
    }
    RunFigures f;
    f.runTimeMs = 1765250000123;
    f.documents = 3;
    f.unlistedUsers = 1;
    f.failedStep = QStringLiteral("user\"nodes\"");
    f.bytesSent = {{QStringLiteral("ssh://a/b"), 1, {}}, {QStringLiteral("say \"hi\" \\ C:\\x"), 2, {}}};
    f.build.fullBuildReason = QStringLiteral("the key \"a\\b\"\nwas read twice");
    for (const QString& name : {QStringLiteral("catalog"), QStringLiteral("say \"hi\" \\ C:\\x"),
                                QStringLiteral("two\nlines } 5"), QString::fromUtf8("Bücher")}) {
        const QByteArray text = metrics::MetricsText(name, f);
        const auto rejected = testsupport::PromtoolRejects(promtool, text);
        EXPECT_FALSE(rejected) << name.toStdString() << ": " << rejected.value_or(QString()).toStdString();
        EXPECT_EQ(testsupport::Samples(text, metrics::EscapeLabelValue(name)).value(kGauges[3]), u"3");
    }
}

TEST(MetricsText, LastSuccessReadsBackFromAFileWrittenEarlier) {
    struct Case {
        const char* label;
        QByteArray text;
        std::optional<std::int64_t> expected;
    };
    RunFigures f;
    f.lastSuccessMs = 1765163600007;
    const Case cases[] = {
        {"own_file", metrics::MetricsText(QStringLiteral("catalog"), f), 1765163600007},
        {"awkward_label", metrics::MetricsText(QStringLiteral("a\"} 99 \\\n"), f), 1765163600007},
        {"no_labels", "lumora_index_last_success_timestamp_seconds 1700000000\n", 1700000000000},
        {"with_sample_timestamp",
         "lumora_index_last_success_timestamp_seconds{index=\"x\"}\t1700000000.5 1700000000999\n",
         1700000000500},
        {"exponent", "lumora_index_last_success_timestamp_seconds{index=\"x\"} 1.7e9\n", 1700000000000},
        {"zero_is_none", "lumora_index_last_success_timestamp_seconds{index=\"x\"} 0\n", std::nullopt},
        {"negative", "lumora_index_last_success_timestamp_seconds{index=\"x\"} -5\n", std::nullopt},
        {"not_a_number", "lumora_index_last_success_timestamp_seconds{index=\"x\"} NaN\n", std::nullopt},
        {"garbage", "lumora_index_last_success_timestamp_seconds{index=\"x\"} soon\n", std::nullopt},
        {"unclosed_labels", "lumora_index_last_success_timestamp_seconds{index=\"x} 5\n", std::nullopt},
        {"longer_name_only", "lumora_index_last_success_timestamp_seconds_total{index=\"x\"} 5\n",
         std::nullopt},
        {"comment_only", "# HELP lumora_index_last_success_timestamp_seconds 5\n", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(metrics::LastSuccessOf(c.text), c.expected) << c.label;
}

// A clock the test moves by hand.
struct Clocks {
    std::int64_t wall = 1765250000000;
    std::int64_t monotonic = 5000;
    BuildMetrics Make() {
        return BuildMetrics([this] { return wall; }, [this] { return monotonic; });
    }
};

TEST(BuildMetricsRun, PhasesCountTheirOwnTimeAndTheRunEndsNow) {
    Clocks clocks;
    BuildMetrics m = clocks.Make();
    m.Begin(BuildMetrics::kBuild);
    clocks.monotonic += 1200;
    m.End(BuildMetrics::kBuild);
    m.End(BuildMetrics::kBuild);  // a second end adds nothing
    clocks.monotonic += 999;      // between phases: nobody's time
    m.Begin(BuildMetrics::kUserNodes);
    clocks.monotonic += 35;
    m.End(BuildMetrics::kUserNodes);
    m.Begin(BuildMetrics::kPropagation);
    clocks.monotonic += 400;  // never ended: counts up to the end of the run
    m.SetDocuments(4000);
    m.SetUsers(3);
    m.SetTargetsFailed(1);
    m.SetUnlistedUsers(2);
    m.SetFailedStep(QStringLiteral("propagation"));
    clocks.wall += 5000;
    const RunFigures f = m.Finish(false, {});
    EXPECT_EQ(f.runTimeMs, 1765250005000);
    EXPECT_EQ(f.buildMs, 1200);
    EXPECT_EQ(f.userNodeMs, 35);
    EXPECT_EQ(f.propagationMs, 400);
    EXPECT_EQ(f.documents, 4000);
    EXPECT_EQ(f.users, 3);
    EXPECT_EQ(f.targetsFailed, 1);
    EXPECT_EQ(f.unlistedUsers, 2);
    EXPECT_EQ(f.failedStep, u"propagation");
    EXPECT_FALSE(f.success);
    EXPECT_TRUE(m.Finish(true, {}).failedStep.isEmpty());
}

TEST(BuildMetricsRun, LastSuccessIsThisRunOrKeptFromThePreviousFile) {
    RunFigures before;
    before.lastSuccessMs = 1765000000250;
    const QByteArray previous = metrics::MetricsText(QStringLiteral("catalog"), before);
    struct Case {
        const char* label;
        bool success;
        QByteArray previous;
        std::int64_t expected;
    };
    Clocks clocks;
    const Case cases[] = {
        {"success_takes_this_run", true, previous, clocks.wall},
        {"failure_keeps_previous", false, previous, 1765000000250},
        {"failure_without_file", false, {}, 0},
        {"failure_with_unreadable_file", false, "\x01\x02", 0},
    };
    for (const Case& c : cases) {
        const RunFigures f = clocks.Make().Finish(c.success, c.previous);
        EXPECT_EQ(f.lastSuccessMs, c.expected) << c.label;
        EXPECT_EQ(f.success, c.success) << c.label;
    }
}

}  // namespace
