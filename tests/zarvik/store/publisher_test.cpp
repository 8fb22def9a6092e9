// Publishing to a store folder through rclone, version after version: which data object
// each gets, what retention keeps, and how a damaged store is answered (a whole file
// and a warning) while no object name ever holds two contents.
#include "zarvik/store/publisher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>
#include <functional>

#include "support/errorof.h"
#include "support/qt_printers.h"
#include "support/storebuild.h"
#include "zarvik/store/manifest.h"
#include "zarvik/store/pages.h"

namespace {

namespace store = zarvik::store;

QByteArray Bytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void Write(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

class PublisherTest : public ::testing::Test {
public:  // the table's damages reach the store through the fixture
    QString Store() const { return m_dir.path() + "/store"; }
    QString Object(const QString& name) const { return Store() + "/" + name; }
    store::Current Current() const { return store::ParseCurrent(Bytes(Object("current")), "current"); }
    store::Manifest ManifestOf(const QString& name) const {
        return store::ParseManifest(Bytes(Object(name)), name);
    }

    // What a reader starting empty would install: the chain from `current` back to its
    // whole file, applied in order.
    QByteArray Installed() const {
        QList<store::Manifest> chain;
        for (QString name = Current().manifest;; name = chain.last().baseManifest) {
            chain << ManifestOf(name);
            if (chain.last().object.whole) break;
        }
        QFile working(m_dir.path() + "/installed");
        working.open(QIODevice::ReadWrite | QIODevice::Truncate);
        for (auto m = chain.crbegin(); m != chain.crend(); ++m) {
            QFile object(Object(m->object.name));
            object.open(QIODevice::ReadOnly);
            if (m->object.whole)
                store::ApplyWhole(object, m->object.name, m->fileSize, working);
            else
                store::ApplyPack(object, m->object.name, m->pageSize, m->fileSize, working);
        }
        working.seek(0);
        return working.readAll();
    }

    // Every object's SHA-256 by name, across every publish of the test; `byTheTest`
    // takes in what the test itself damaged.
    void RememberEveryObject(bool byTheTest = false) {
        for (const QString& name : QDir(Store()).entryList(QDir::Files)) {
            if (name == "current") continue;
            const QByteArray sha = QCryptographicHash::hash(Bytes(Object(name)), QCryptographicHash::Sha256);
            if (!byTheTest) {
                EXPECT_EQ(m_seen.value(name, sha), sha) << name.toStdString() << " was written twice";
            }
            m_seen.insert(name, sha);
        }
    }

    QTemporaryDir m_dir;
    QHash<QString, QByteArray> m_seen;
};

// A damage done to the store before a publish.
using Damage = std::function<void(PublisherTest&)>;

TEST_F(PublisherTest, EachVersionGetsTheRightObjectAndDamageIsRepaired) {
    const QString build = m_dir.path() + "/build";
    QDir().mkpath(build);
    QDir().mkpath(Store());
    const auto currentObject = [](PublisherTest& t) {
        return t.Object(t.ManifestOf(t.Current().manifest).object.name);
    };
    struct Step {
        const char* what;
        int build;  // 0: none, 1: changes, 2: full
        Damage damage;
        bool published;
        bool whole;
        const char* warning;  // in the outcome's warnings, or nullptr for none
    };
    const Step steps[] = {
        {"first build", 2, {}, true, true, nullptr},
        {"a change", 1, {}, true, false, nullptr},
        {"another change", 1, {}, true, false, nullptr},
        // The chain's manifests below that whole file are then fetched one by one.
        {"the same file again, beside a whole file another publisher left at its version", 0,
         [](PublisherTest& t) {
             const QByteArray bytes = "another publisher's whole file";
             Write(
                 t.Object(store::DataObjectName(t.Current().version, true,
                                                QCryptographicHash::hash(bytes, QCryptographicHash::Sha256))),
                 bytes);
         },
         false, false, nullptr},
        {"a change that ends the chain of FullEvery 4", 1, {}, true, false, nullptr},
        {"a change after FullEvery packs", 1, {}, true, true, nullptr},
        {"a change", 1, {}, true, false, nullptr},
        {"current garbage", 1, [](PublisherTest& t) { Write(t.Object("current"), "garbage\n"); }, true, true,
         "current"},
        {"a change", 1, {}, true, false, nullptr},
        {"current names a missing manifest", 1,
         [](PublisherTest& t) { QFile::remove(t.Object(t.Current().manifest)); }, true, true, "is missing"},
        {"a change", 1, {}, true, false, nullptr},
        {"current's pack missing", 1, [&](PublisherTest& t) { QFile::remove(currentObject(t)); }, true, true,
         "is missing"},
        {"a change", 1, {}, true, false, nullptr},
        {"current's pack cut short", 1,
         [&](PublisherTest& t) { Write(currentObject(t), Bytes(currentObject(t)).left(10)); }, true, true,
         "bytes"},
        {"a change", 1, {}, true, false, nullptr},
        {"current's manifest altered", 1,
         [](PublisherTest& t) {
             const QString manifest = t.Object(t.Current().manifest);
             Write(manifest, Bytes(manifest).replace("documents 1500", "documents 1501"));
         },
         true, true, "SHA-256"},
        {"a full build rewrites most pages", 2, {}, true, true, nullptr},
    };
    int version = 0;
    for (const Step& s : steps) {
        if (s.build > 0) testsupport::BuildVersion(build, ++version, s.build == 2);
        if (s.damage) s.damage(*this);
        RememberEveryObject(true);
        store::PublishRun run(m_dir.path());
        const store::PublishOutcome outcome =
            store::Publish(*store::OpenStore("store:" + Store()), build + "/index.db",
                           build + "/index.previous.db", component::PublishSettings{4, 2}, run);
        EXPECT_EQ(outcome.current.objects > 0, s.published) << s.what;
        if (s.published) {
            EXPECT_EQ(outcome.current.whole, s.whole)
                << s.what << " (version " << outcome.current.version << ")";
        }
        const QString warnings = outcome.warnings.join('\n');
        EXPECT_EQ(!warnings.isEmpty(), s.warning != nullptr) << s.what << ": " << warnings.toStdString();
        if (s.warning) {
            EXPECT_TRUE(warnings.contains(s.warning)) << s.what << ": " << warnings.toStdString();
        }
        EXPECT_EQ(Current().version, outcome.current.version) << s.what;
        EXPECT_EQ(Installed(), Bytes(build + "/index.db")) << s.what;
        RememberEveryObject();
    }
    // Retention: the two newest whole files and what follows them; nothing older, and
    // nothing a damaged version or a cut object left.
    QSet<qint64> wholes, versions;
    for (const QString& name : QDir(Store()).entryList(QDir::Files)) {
        versions.insert(store::VersionOfObject(name));
        if (name.endsWith(".whole.zst")) wholes.insert(store::VersionOfObject(name));
    }
    EXPECT_EQ(wholes.size(), 2) << QDir(Store()).entryList(QDir::Files).join(' ').toStdString();
    const qint64 oldestWhole = *std::min_element(wholes.begin(), wholes.end());
    for (const qint64 v : versions) EXPECT_TRUE(v == 0 || v >= oldestWhole) << "version " << v << " was kept";
}

// A second writer is noticed: `current` is replaced only while it holds what was read.
TEST_F(PublisherTest, CurrentIsReplacedOnlyWhileItHoldsWhatWasRead) {
    QDir().mkpath(Store());
    Write(Object("current"), "first\n");
    Write(m_dir.path() + "/mine", "mine\n");
    const std::unique_ptr<store::Store> s = store::OpenStore("store:" + Store());
    QByteArray found;
    EXPECT_FALSE(s->ReplaceIf(m_dir.path() + "/mine", "current", "other\n", &found));
    EXPECT_EQ(found, "first\n");
    EXPECT_EQ(Bytes(Object("current")), "first\n");
    EXPECT_TRUE(s->ReplaceIf(m_dir.path() + "/mine", "current", "first\n", &found));
    EXPECT_EQ(Bytes(Object("current")), "mine\n");
    EXPECT_FALSE(s->ReplaceIf(m_dir.path() + "/mine", "missing", "x", &found));
    EXPECT_TRUE(found.isEmpty());
    EXPECT_EQ(QDir(Store()).entryList(QDir::Files), QStringList{"current"}) << "no upcoming object left";
}

// A run's folder is removed when it ends; one a killed run left (its lock free) is
// removed by the next run, while a living run's folder stays.
TEST_F(PublisherTest, RunFoldersOfKilledRunsAreRemoved) {
    const QString parent = m_dir.path() + QStringLiteral("/lumora-publish-%1").arg(::geteuid());
    QString living;
    {
        store::PublishRun first(m_dir.path());
        living = first.Folder();
        QDir().mkpath(parent + "/run-killed");
        Write(parent + "/run-killed/lock", "");
        Write(parent + "/run-killed/object-1", QByteArray(1000, 'x'));
        store::PublishRun second(m_dir.path());
        EXPECT_TRUE(QDir(living).exists());
        EXPECT_FALSE(QDir(parent + "/run-killed").exists());
        EXPECT_EQ(QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 2);
    }
    EXPECT_EQ(QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{});
}

// The temporary folder is shared by every user: a folder of that name that is open to
// others, or a link, is refused rather than written into.
TEST_F(PublisherTest, AnotherUsersTemporaryFolderIsRefused) {
    const QString own = QStringLiteral("/lumora-publish-%1").arg(::geteuid());
    const std::function<void(const QString&)> cases[] = {
        [](const QString& path) { ::mkdir(QFile::encodeName(path).constData(), 0755); },
        [&](const QString& path) { QFile::link(m_dir.path(), path); },
    };
    for (const auto& make : cases) {
        QTemporaryDir root;
        make(root.path() + own);
        EXPECT_TRUE(testsupport::ErrorOf([&] { store::PublishRun run(root.path()); })
                        .Description()
                        .contains("not this user's own private folder"));
    }
}

}  // namespace
