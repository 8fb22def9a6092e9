// The program killed (SIGKILL) at twenty random moments (four under the sanitizers) of
// an automated run: during the build, the user-node run, the propagation and the
// write-back. Whenever it dies, the live index, every target, every user's rows and the
// configuration must each be the old or the new complete state, and the next run must
// succeed.
#include <signal.h>
#include <sys/stat.h>

#include <QSqlDatabase>
#include <algorithm>
#include <cstdio>
#include <map>

#include "runsupport.h"
#include "zarvik/config/indexconfiguration.h"

namespace {

using namespace reliability;

constexpr int kUsers = 600;  // more than one group of rewrites
// The sanitizer build kills four times, once in each phase: enough to run every
// recovery path instrumented, while the normal build's twenty check the states.
#ifndef LUMORA_KILLS
#define LUMORA_KILLS 20
#endif
constexpr int kKills = LUMORA_KILLS;

// When, in a run that was not killed, each phase ended (ms after the start).
struct Phases {
    qint64 build = 0;        // index.db replaced
    qint64 firstTarget = 0;  // the first target replaced
    qint64 lastTarget = 0;   // the last target replaced
    qint64 end = 0;          // the process ended
};

ino_t Inode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// The <Index> elements of the build mode under test.
class KillTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        documents = f.data + QStringLiteral("/documents.db");
        catalogFile = f.data + QStringLiteral("/catalog.db");
        for (const char* t : {"one", "two", "three"})
            targets << f.data + QStringLiteral("/replicas/") + QLatin1String(t) + QStringLiteral("/catalog");
        f.WriteConfig(QStringLiteral("Provider=SQLite;Database=") + documents,
                      QStringLiteral("Provider=SQLite;Database=") + catalogFile, targets,
                      QString::fromUtf8(GetParam()));
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("kill-test"));
        db.setDatabaseName(catalogFile);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        ASSERT_TRUE(db.open());
        CreateCatalog(db, kUsers);
    }
    void TearDown() override {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("kill-test"));
    }

    void PrepareGeneration(int generation) {
        WriteDocuments(documents, generation);
        AssignGeneration(db, generation);
    }

    // A run to its end, noting when each phase was over.
    Phases CleanRun() {
        QProcess process;
        const ino_t index = Inode(f.indexPath + QStringLiteral("/index.db"));
        std::vector<ino_t> before;
        for (const QString& t : targets) before.push_back(Inode(t + QStringLiteral("/index.db")));
        QElapsedTimer clock;
        clock.start();
        f.Start(process);
        Phases phases;
        while (!process.waitForFinished(2)) {
            const qint64 now = clock.elapsed();
            if (!phases.build && Inode(f.indexPath + QStringLiteral("/index.db")) != index)
                phases.build = now;
            int replaced = 0;
            for (qsizetype i = 0; i < targets.size(); ++i)
                replaced += Inode(targets[i] + QStringLiteral("/index.db")) != before[i];
            if (replaced > 0 && !phases.firstTarget) phases.firstTarget = now;
            if (replaced == int(targets.size()) && !phases.lastTarget) phases.lastTarget = now;
            if (now > 240000) break;
        }
        phases.end = clock.elapsed();
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        if (!phases.build) phases.build = phases.end;
        if (!phases.firstTarget) phases.firstTarget = std::max(phases.build, phases.end - 3);
        if (!phases.lastTarget) phases.lastTarget = std::max(phases.firstTarget, phases.end - 2);
        return phases;
    }

    QString NumDocumentsInFile(QString* lastBuilt) {
        zarvik::config::XmlIndexConfiguration configuration;
        try {
            configuration.LoadFromFile(f.ConfigPath());
            configuration.LoadIndex(QStringLiteral("catalog"));
        } catch (const component::Error& e) {
            ADD_FAILURE() << "the configuration does not load: " << e.Description().toStdString();
            return QStringLiteral("?");
        }
        *lastBuilt = configuration.LastBuilt();
        return configuration.NumDocuments();
    }

    // Everything is the state of this generation, and nothing is left behind.
    void ExpectComplete(int generation) {
        EXPECT_EQ(IndexedDocuments(f.indexPath), DocumentCount(generation));
        for (const QString& t : targets)
            EXPECT_EQ(IndexedDocuments(t), DocumentCount(generation)) << t.toStdString();
        const UserStates users = ClassifyUsers(db, kUsers, {}, ExpectedRows(generation));
        EXPECT_EQ(users.fresh, kUsers) << users.example.toStdString();
        QString lastBuilt;
        EXPECT_EQ(NumDocumentsInFile(&lastBuilt), QString::number(DocumentCount(generation)));
        EXPECT_FALSE(lastBuilt.isEmpty());
        QStringList entries = QDir(f.indexPath).entryList(QDir::Files | QDir::Hidden);
        entries.removeAll(QStringLiteral("index.lock"));
        // The index the last swap replaced is kept beside the live one, and in the mode
        // "changes" the live one's hash, never anything else.
        entries.removeAll(QStringLiteral("index.previous.db"));
        entries.removeAll(QStringLiteral("index.db.sha256"));
        EXPECT_EQ(entries, QStringList{QStringLiteral("index.db")}) << entries.join(u' ').toStdString();
    }

    ProgramFolder f;
    QString documents;
    QString catalogFile;
    QStringList targets;
    QSqlDatabase db;
};

TEST_P(KillTest, EveryPartIsOldOrNewAndTheNextRunSucceeds) {
    PrepareGeneration(0);
    Phases phases = CleanRun();
    ExpectComplete(0);
    ASSERT_FALSE(HasFailure());

    const unsigned seed = qEnvironmentVariableIsSet("LUMORA_KILL_SEED")
                              ? qEnvironmentVariable("LUMORA_KILL_SEED").toUInt()
                              : std::random_device{}();
    std::printf("kill test: seed %u (set LUMORA_KILL_SEED to repeat)\n", seed);
    std::mt19937 random(seed);
    std::map<std::string, int> outcomes;
    int leftovers = 0;

    // A run that ends before its moment comes is no kill; the loop goes on until
    // kKills runs have been killed.
    int kill = 0;
    int configLeftovers = 0;
    for (int attempt = 0; kill < kKills && attempt < 3 * kKills; ++attempt) {
        const int generation = attempt + 1;
        PrepareGeneration(generation);
        const QString oldNum = QString::number(DocumentCount(generation - 1));
        const QString newNum = QString::number(DocumentCount(generation));
        QString oldLastBuilt;
        NumDocumentsInFile(&oldLastBuilt);

        // Aim at one phase in turn, anywhere within it as the last clean run timed it.
        const char* const aims[] = {"build", "user nodes", "propagation", "write-back"};
        const int aim = kill % 4;
        const qint64 bounds[5] = {0, phases.build, phases.firstTarget, phases.lastTarget, phases.end};
        // The write-back takes a few milliseconds at the very end, too short to aim at
        // from the start: those kills come a random 0-3 ms after the last target was
        // replaced.
        const qint64 low = bounds[aim];
        const qint64 high = std::max(bounds[aim + 1], low + 1);
        qint64 delay = std::uniform_int_distribution<qint64>(low, high)(random);
        const int afterTargets = std::uniform_int_distribution<int>(0, 3)(random);
        std::vector<ino_t> before;
        for (const QString& t : targets) before.push_back(Inode(t + QStringLiteral("/index.db")));
        auto allReplaced = [&] {
            for (qsizetype i = 0; i < targets.size(); ++i)
                if (Inode(targets[i] + QStringLiteral("/index.db")) == before[std::size_t(i)]) return false;
            return true;
        };

        QProcess process;
        QElapsedTimer clock;
        clock.start();
        f.Start(process);
        if (aim == 3) {
            while (!allReplaced() && process.state() != QProcess::NotRunning && clock.elapsed() < 240000)
                QThread::usleep(200);
            delay = clock.elapsed() + afterTargets;
            if (afterTargets > 0) QThread::msleep(afterTargets);
        } else {
            while (clock.elapsed() < delay && process.state() != QProcess::NotRunning)
                process.waitForFinished(1);
        }
        const bool died = process.state() != QProcess::NotRunning;
        if (died) ::kill(pid_t(process.processId()), SIGKILL);
        if (died) ++kill;
        process.waitForFinished(30000);
        SCOPED_TRACE("kill " + std::to_string(kill) + " at " + std::to_string(delay) + " ms, aimed at " +
                     aims[aim]);

        // The live index, each target: old or new, and searchable.
        const int live = IndexedDocuments(f.indexPath);
        EXPECT_TRUE(live == DocumentCount(generation - 1) || live == DocumentCount(generation)) << live;
        const bool indexNew = live == DocumentCount(generation);
        int targetsNew = 0;
        for (const QString& t : targets) {
            const int n = IndexedDocuments(t);
            EXPECT_TRUE(n == DocumentCount(generation - 1) || n == DocumentCount(generation))
                << t.toStdString() << " " << n;
            targetsNew += n == DocumentCount(generation);
        }
        // Each user: exactly the old or exactly the new rows.
        const UserStates users =
            ClassifyUsers(db, kUsers, ExpectedRows(generation - 1), ExpectedRows(generation));
        EXPECT_EQ(users.other, 0) << users.example.toStdString();
        // The configuration parses and holds the old or the new values.
        QString lastBuilt;
        const QString num = NumDocumentsInFile(&lastBuilt);
        EXPECT_TRUE(num == oldNum || num == newNum) << num.toStdString();
        EXPECT_FALSE(lastBuilt.isEmpty());
        // The phases follow each other: nothing of a later one without the earlier ones.
        if (users.fresh > 0) {
            EXPECT_TRUE(indexNew || !died);
        }
        if (targetsNew > 0) {
            EXPECT_TRUE(indexNew && users.fresh == kUsers);
        }
        if (num == newNum) {
            EXPECT_EQ(targetsNew, targets.size());
        }

        std::string outcome;
        if (!died) {
            outcome = "run had ended";
        } else if (!indexNew) {
            outcome = "build";
        } else if (targetsNew == 0) {
            outcome = "user nodes";
        } else if (targetsNew < targets.size()) {
            outcome = "propagation";
        } else if (lastBuilt == oldLastBuilt) {
            outcome = "write-back, before LastBuilt";
        } else if (num == oldNum) {
            outcome = "write-back, before NumDocuments";
        } else {
            outcome = "after the write-back";
        }
        ++outcomes[outcome];
        std::printf(
            "run %2d, kill %2d at %5lld ms (aimed at %s): killed in %s; users new %d of %d, targets new %d "
            "of %lld\n",
            attempt + 1, kill, static_cast<long long>(delay), aims[aim], outcome.c_str(), users.fresh, kUsers,
            targetsNew, static_cast<long long>(targets.size()));

        // Left behind by the killed run, to be cleaned up by the next one or not.
        for (const QString& t : targets) {
            QStringList extra = QDir(t).entryList(QDir::Files | QDir::Hidden);
            extra.removeAll(QStringLiteral("index.db"));
            extra.removeAll(QStringLiteral("index.lock"));
            leftovers += int(extra.size());
        }
        configLeftovers += int(QDir(f.bin).entryList(QDir::Files | QDir::Hidden).size()) - 2;

        phases = CleanRun();
        ExpectComplete(generation);
        for (const QString& t : targets) {
            QStringList extra = QDir(t).entryList(QDir::Files | QDir::Hidden);
            extra.removeAll(QStringLiteral("index.db"));
            EXPECT_TRUE(extra.isEmpty()) << t.toStdString() << ": " << extra.join(u' ').toStdString();
        }
        if (HasFailure()) break;
    }
    std::printf("kill test: outcomes:");
    for (const auto& [name, count] : outcomes) std::printf(" %s %d;", name.c_str(), count);
    std::printf(" files left in targets right after a kill: %d; beside the configuration: %d\n", leftovers,
                configLeftovers);
    EXPECT_EQ(kill, kKills) << "the runs ended before they could be killed";
}

// A build of the changes is killed as it copies, compares, applies or merges.
INSTANTIATE_TEST_SUITE_P(BuildModes, KillTest,
                         ::testing::Values("", "<BuildMode>changes</BuildMode><MaxChangedPercent>100</MaxChangedPercent>"),
                         [](const auto& info) { return std::string(info.index == 0 ? "Full" : "Changes"); });

}  // namespace
