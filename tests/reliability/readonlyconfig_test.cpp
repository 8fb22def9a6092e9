// IndexConfiguration.xml that cannot be written at write-back: the run reports
// "Unable to write results to config file:" with the reason, and the file stays byte
// for byte as it was. Root may write through file modes, so as root the folder that
// holds the configuration is made read-only by a read-only bind mount of itself, or
// failing that by the immutable attribute; anyone else gets a folder mode of 0555.
#include <sys/mount.h>
#include <unistd.h>

#include <QSqlDatabase>

#include "runsupport.h"

namespace {

using namespace reliability;

class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const QString& folder) : m_folder(QFile::encodeName(folder)) {
        if (::geteuid() != 0) {
            m_how = "mode 0555";
            m_done = ::chmod(m_folder.constData(), 0555) == 0;
        } else if (::mount(m_folder.constData(), m_folder.constData(), nullptr, MS_BIND, nullptr) == 0) {
            m_mounted = true;
            m_how = "read-only bind mount";
            m_done = ::mount(nullptr, m_folder.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                             nullptr) == 0;
        } else if (Run({QStringLiteral("chattr"), QStringLiteral("+i"), folder})) {
            m_immutable = true;
            m_how = "immutable attribute";
            m_done = true;
        }
    }
    ~ReadOnlyFolder() {
        if (m_mounted) ::umount2(m_folder.constData(), MNT_DETACH);
        if (m_immutable) Run({QStringLiteral("chattr"), QStringLiteral("-i"), QFile::decodeName(m_folder)});
        if (m_how == std::string("mode 0555")) ::chmod(m_folder.constData(), 0755);
    }
    bool Done() const { return m_done; }
    const char* How() const { return m_how; }

private:
    static bool Run(const QStringList& command) {
        QProcess p;
        p.start(command.first(), command.mid(1));
        return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }
    QByteArray m_folder;
    const char* m_how = "none";
    bool m_mounted = false;
    bool m_immutable = false;
    bool m_done = false;
};

TEST(ReadOnlyConfiguration, PrefixedReportAndTheFileUnchanged) {
    ProgramFolder f;
    const QString file = f.data + QStringLiteral("/app.db");
    ASSERT_NO_THROW(WriteAppDatabase(f, file, 5));
    const QByteArray before = ReadBytes(f.ConfigPath());

    RunResult run;
    {
        ReadOnlyFolder readOnly(f.bin);
        ASSERT_TRUE(readOnly.Done()) << "the configuration folder could not be made read-only";
        std::printf("configuration folder made read-only by: %s\n", readOnly.How());
        run = f.Run();
    }
    // The index was built; only the results could not be recorded, which does not
    // change the outcome of the run.
    EXPECT_EQ(IndexedDocuments(f.indexPath), DocumentCount(0));
    EXPECT_EQ(run.exitCode, 0) << run.stderrText.toStdString();
    const QString head = QStringLiteral("Lumora Index Manager [Warning]\n");
    const qsizetype at = run.stderrText.indexOf(QStringLiteral("Unable to write results to config file:\n"));
    ASSERT_GE(at, 0) << run.stderrText.toStdString();
    const QString block = run.stderrText.mid(at, run.stderrText.indexOf(QStringLiteral("\n\n"), at) - at);
    // The component's reason follows the line break: the file and what the system said.
    EXPECT_TRUE(block.contains(f.ConfigPath())) << block.toStdString();
    EXPECT_TRUE(block.contains(QStringLiteral("Read-only file system")) ||
                block.contains(QStringLiteral("Permission denied")) ||
                block.contains(QStringLiteral("Operation not permitted")))
        << block.toStdString();
    EXPECT_EQ(run.stderrText.count(QStringLiteral("Unable to write results to config file:")), 1);
    EXPECT_EQ(ReadBytes(f.ConfigPath()), before) << "the configuration changed";
    EXPECT_EQ(QDir(f.bin).entryList(QDir::Files | QDir::Hidden).size(), 2) << "a temporary file was left";
}

}  // namespace
