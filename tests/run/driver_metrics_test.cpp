// The monitoring file every build run leaves, the driver on the scripted fake
// component: its values for each way a run ends, the last success kept across failed
// runs, and a file that cannot be written.
#include <QDateTime>
#include <QDir>
#include <QThread>

#include "driver_fixture.h"
#include "support/promtext.h"

namespace {

const QString kUserQuery = QStringLiteral("SELECT DISTINCT USERID FROM CATALOGNODEBYUSER  WHERE ISPROFILE=0");
const QString kFolder = QStringLiteral("/var/lib/node-exporter");
const QString kFile = kFolder + QStringLiteral("/lumora_index_sales.prom");
const QString kPreviousSuccess = QStringLiteral("1700000000.000");

class DriverMetricsTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        state->metricsDirectory = kFolder;
        state->buildReport = {component::BuildMode::Changes, QString(), 3, 2, 1};
        // The fake answers the per-step statements; the users it lists are rewritten.
        state->indexes[QStringLiteral("sales")][QStringLiteral("UserNodeMethod")] = QStringLiteral("queries");
        state->queryRows[kUserQuery] = {QStringLiteral("USERID"),
                                        {QStringLiteral("alice"), QStringLiteral("bob")}};
        // A success recorded by an earlier run.
        state->metricsFiles[kFile] = "lumora_index_last_success_timestamp_seconds{index=\"sales\"} " +
                                     kPreviousSuccess.toUtf8() + "\n";
    }
    QMap<QString, QString> Written() const {
        return testsupport::Samples(state->metricsFiles.value(kFile), "sales");
    }
};

struct OutcomeCase {
    const char* name;
    std::function<void(testsupport::FakeState&)> script;
    bool success;
    QString documents;
    QString users;
    QString targetsFailed;
    bool built;       // the build phase ran (its time counts)
    bool propagated;  // the propagation phase ran
    QString lastBox;
};

class OutcomeTest : public DriverMetricsTest, public ::testing::WithParamInterface<OutcomeCase> {};

// The builder and the propagator take a measurable time, so their phases must show it.
bool SlowBuild(testsupport::FakeBuilder&) {
    QThread::msleep(30);
    return true;
}

TEST_P(OutcomeTest, EveryRunWritesItsOwnValues) {
    const OutcomeCase& c = GetParam();
    state->build = SlowBuild;
    c.script(*state);
    const double before = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    Run();
    const double after = QDateTime::currentMSecsSinceEpoch() / 1000.0;

    ASSERT_FALSE(boxes.Texts().isEmpty());
    EXPECT_TRUE(boxes.Texts().last().startsWith(c.lastBox)) << boxes.Texts().last().toStdString();
    EXPECT_EQ(state->metricsWrites, 1);
    const QMap<QString, QString> m = Written();
    const QString sentToA = QStringLiteral("lumora_index_target_bytes_sent{index=\"sales\",target=\"/r/a\"}");
    ASSERT_EQ(m.size() - m.count(sentToA), 14) << state->metricsFiles.value(kFile).toStdString();
    if (c.success) {
        // What the builder reports of a successful build, and the bytes each target got.
        EXPECT_EQ(m.value(QStringLiteral("lumora_index_build_applied_changes")), u"1");
        EXPECT_EQ(m.value(QStringLiteral("lumora_index_documents_deleted")), u"1");
        EXPECT_EQ(m.value(sentToA), c.propagated ? u"5" : u"");
    }
    const double lastRun = m.value(QStringLiteral("lumora_index_last_run_timestamp_seconds")).toDouble();
    EXPECT_GE(lastRun, before - 0.001);
    EXPECT_LE(lastRun, after + 0.001);
    EXPECT_EQ(m.value(QStringLiteral("lumora_index_last_run_success")), c.success ? u"1" : u"0");
    EXPECT_EQ(
        m.value(QStringLiteral("lumora_index_last_success_timestamp_seconds")),
        c.success ? m.value(QStringLiteral("lumora_index_last_run_timestamp_seconds")) : kPreviousSuccess);
    EXPECT_EQ(m.value(QStringLiteral("lumora_index_documents")), c.documents);
    EXPECT_EQ(m.value(QStringLiteral("lumora_index_usernode_users")), c.users)
        << state->metricsFiles.value(kFile).toStdString();
    EXPECT_EQ(m.value(QStringLiteral("lumora_index_targets_failed")), c.targetsFailed);
    const double buildSeconds = m.value(QStringLiteral("lumora_index_build_seconds")).toDouble();
    const double propagationSeconds = m.value(QStringLiteral("lumora_index_propagation_seconds")).toDouble();
    if (c.built) {
        EXPECT_GE(buildSeconds, 0.030);
        EXPECT_LE(buildSeconds, after - before + 0.002);
    } else {
        EXPECT_EQ(m.value(QStringLiteral("lumora_index_build_seconds")), u"0.000");
        EXPECT_EQ(m.value(QStringLiteral("lumora_index_usernode_seconds")), u"0.000");
    }
    if (c.propagated) {
        EXPECT_GE(propagationSeconds, 0.020);
    } else {
        EXPECT_EQ(m.value(QStringLiteral("lumora_index_propagation_seconds")), u"0.000");
    }

    const QString promtool = testsupport::Promtool();
    if (promtool.isEmpty()) {
        if (testsupport::PromtoolRequired()) FAIL() << "promtool is not installed";
        GTEST_SKIP() << "promtool is not installed (scripts/test.sh unpacks it); values checked";
    }
    const auto rejected = testsupport::PromtoolRejects(promtool, state->metricsFiles.value(kFile));
    EXPECT_FALSE(rejected) << rejected.value_or(QString()).toStdString();
}

const QString kOK = QStringLiteral("Index was built OK");
const QString kFailure = QStringLiteral("Problems occurred during the indexing process.");

void SlowPropagation(testsupport::FakeState& s, bool ok) {
    s.propagations[QStringLiteral("sales")] = {QStringLiteral("/r/a"), QStringLiteral("/r/b"),
                                               QStringLiteral("/r/c")};
    s.bytesSent = {{QStringLiteral("/r/a"), 5, {}}};
    s.propagate = [ok](component::StatusHandler*, const QString&, const QStringList&) {
        QThread::msleep(20);
        return ok;
    };
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, OutcomeTest,
    ::testing::Values(
        OutcomeCase{"success", [](testsupport::FakeState&) {}, true, "42", "2", "0", true, false, kOK},
        OutcomeCase{"success_with_targets", [](testsupport::FakeState& s) { SlowPropagation(s, true); }, true,
                    "42", "2", "0", true, true, kOK},
        OutcomeCase{"build_failed",
                    [](testsupport::FakeState& s) {
                        s.build = [](testsupport::FakeBuilder& b) { return !SlowBuild(b); };
                        s.documentCount = 7;
                    },
                    false, "7", "2", "0", true, false, kFailure},
        OutcomeCase{"lock_held",
                    [](testsupport::FakeState& s) {
                        s.build = [](testsupport::FakeBuilder& b) -> bool {
                            SlowBuild(b);
                            throw component::Error(component::errnum::kIndexLocked, QStringLiteral("Builder"),
                                                   QStringLiteral("another build holds the lock"));
                        };
                    },
                    false, "42", "2", "0", true, false, kFailure},
        OutcomeCase{"no_data_source", [](testsupport::FakeState& s) { s.connectionStrings.clear(); }, false,
                    "0", "0", "0", false, false,
                    QStringLiteral("Primary data source not defined for the selected index.")},
        OutcomeCase{"aborted",
                    [](testsupport::FakeState& s) {
                        s.build = [](testsupport::FakeBuilder& b) {
                            SlowBuild(b);
                            b.SetAborted(true);
                            return false;
                        };
                        s.documentCount = 0;
                    },
                    false, "0", "2", "0", true, false, QStringLiteral("Indexing aborted")},
        OutcomeCase{"user_nodes_failed",
                    [](testsupport::FakeState& s) {
                        s.openConnectionError =
                            component::Error(1, QStringLiteral("Db"), QStringLiteral("down"));
                    },
                    false, "42", "0", "0", true, false, QStringLiteral("Indexing aborted")},
        OutcomeCase{"two_of_three_targets_failed",
                    [](testsupport::FakeState& s) {
                        SlowPropagation(s, false);
                        s.failedTargets = 2;
                    },
                    false, "42", "2", "2", true, true, kFailure},
        OutcomeCase{"propagation_raised",
                    [](testsupport::FakeState& s) {
                        SlowPropagation(s, true);
                        s.propagate = [](component::StatusHandler*, const QString&,
                                         const QStringList&) -> bool {
                            QThread::msleep(20);
                            throw component::Error(5, QStringLiteral("P"), QStringLiteral("gone"));
                        };
                    },
                    false, "42", "2", "3", true, true, kFailure}),
    [](const ::testing::TestParamInfo<OutcomeCase>& info) { return std::string(info.param.name); });

// A headless automated run ends right after its last message, so the file must be
// written before any outcome message or error report is shown.
TEST_F(DriverMetricsTest, TheFileIsWrittenBeforeTheOutcomeIsShown) {
    struct Case {
        const char* name;
        std::function<void(testsupport::FakeState&)> script;
        qsizetype boxesBefore;  // boxes a run shows before its outcome (a build error's report)
        qsizetype boxesAfter;
    };
    const Case cases[] = {
        {"no_data_source", [](testsupport::FakeState& s) { s.connectionStrings.clear(); }, 0, 1},
        {"build_failed",
         [](testsupport::FakeState& s) { s.build = [](testsupport::FakeBuilder&) { return false; }; }, 0, 1},
        {"build_raised",
         [](testsupport::FakeState& s) {
             s.build = [](testsupport::FakeBuilder&) -> bool {
                 throw component::Error(1, QStringLiteral("B"), QStringLiteral("x"));
             };
         },
         1, 2},
        {"success", [](testsupport::FakeState&) {}, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        c.script(*state);
        qsizetype shownAtWrite = -1;
        state->onMetricsWrite = [&] { shownAtWrite = boxes.Boxes().size(); };
        Run();
        EXPECT_EQ(state->metricsWrites, 1);
        EXPECT_EQ(shownAtWrite, c.boxesBefore);
        EXPECT_EQ(boxes.Boxes().size(), c.boxesAfter);
        state->onMetricsWrite = nullptr;  // it refers to this iteration's local
        boxes.Clear();
    }
}

TEST_F(DriverMetricsTest, SuccessAfterFailuresTakesItsOwnTime) {
    state->build = [](testsupport::FakeBuilder&) { return false; };
    Run();
    EXPECT_EQ(Written().value(QStringLiteral("lumora_index_last_success_timestamp_seconds")),
              kPreviousSuccess);
    state->build = [](testsupport::FakeBuilder&) { return true; };
    Run();
    const QMap<QString, QString> m = Written();
    EXPECT_EQ(m.value(QStringLiteral("lumora_index_last_success_timestamp_seconds")),
              m.value(QStringLiteral("lumora_index_last_run_timestamp_seconds")));
    // ... and a failure after that keeps the new success.
    const QString success = m.value(QStringLiteral("lumora_index_last_success_timestamp_seconds"));
    state->build = [](testsupport::FakeBuilder&) { return false; };
    Run();
    EXPECT_EQ(Written().value(QStringLiteral("lumora_index_last_success_timestamp_seconds")), success);
    EXPECT_EQ(state->metricsWrites, 3);
}

TEST_F(DriverMetricsTest, NoFolderConfiguredWritesNothing) {
    state->metricsDirectory.clear();
    state->metricsFiles.clear();
    Run();
    EXPECT_EQ(boxes.Texts(), QStringList{kOK});
    EXPECT_EQ(state->metricsWrites, 0);
    EXPECT_TRUE(state->metricsFiles.isEmpty());
    EXPECT_TRUE(state->reads.contains(QStringLiteral("MetricsDirectory")));
}

struct UnwritableCase {
    const char* name;
    bool automated;
    bool buildOK;
    QStringList boxes;
};

class UnwritableTest : public DriverMetricsTest, public ::testing::WithParamInterface<UnwritableCase> {};

TEST_P(UnwritableTest, OneEventLogEntryAndTheOutcomeStands) {
    const UnwritableCase& c = GetParam();
    state->metricsWriteError =
        component::Error(component::errnum::kMetricsWrite, QStringLiteral("M"),
                         QStringLiteral("Unable to write the metrics file x: no room"));
    const bool ok = c.buildOK;
    state->build = [ok](testsupport::FakeBuilder&) { return ok; };
    EXPECT_EQ(Run(c.automated),
              c.buildOK ? run::BuildDriver::Outcome::Succeeded : run::BuildDriver::Outcome::Failed);
    EXPECT_EQ(boxes.Texts(), c.boxes);
    EXPECT_EQ(state->writes.size(), c.buildOK ? 2 : 0);  // the results still go to the configuration
    ASSERT_EQ(state->events.size(), 1);
    // The reason as a sentence, then how to let the service write the folder.
    EXPECT_EQ(state->events.at(0).message.section(QStringLiteral(" If this ran"), 0, 0),
              QStringLiteral("Unable to write the metrics file x: no room."));
    EXPECT_TRUE(
        state->events.at(0).message.endsWith(QStringLiteral("\"ReadWritePaths=/var/lib/node-exporter\".")));
    EXPECT_EQ(state->events.at(0).type, 1);
    EXPECT_EQ(state->events.at(0).source, QStringLiteral("TessalyIndexManager (indexName=sales)"));
}

INSTANTIATE_TEST_SUITE_P(Runs, UnwritableTest,
                         ::testing::Values(UnwritableCase{"interactive_success", false, true, {kOK}},
                                           UnwritableCase{"interactive_failure", false, false, {kFailure}},
                                           UnwritableCase{"automated_success", true, true, {}},
                                           UnwritableCase{"automated_failure", true, false, {kFailure}}),
                         [](const ::testing::TestParamInfo<UnwritableCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(DriverMetricsTest, AnEventLogThatFailsTooChangesNothing) {
    state->metricsWriteError =
        component::Error(component::errnum::kMetricsWrite, QStringLiteral("M"), QStringLiteral("no room"));
    state->eventLogError = component::Error(9, QStringLiteral("EventLog"), QStringLiteral("journal is gone"));
    Run();
    EXPECT_EQ(boxes.Texts(), QStringList{kOK});
    EXPECT_EQ(state->writes.size(), 2);
}

}  // namespace
