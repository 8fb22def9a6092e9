// What a replacing file inherits when this process may not give all of it: run as
// another user than root, the new file keeps its owner, gets the mode, and the text
// for the event log says what was not given and the system's reason.
#include "zarvik/files/ownership.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QDir>
#include <QTemporaryDir>

#include "support/filemodes.h"

namespace {

TEST(InheritOwnership, WithoutRootTheModeIsGivenAndTheRestIsTold) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the case as nobody";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid() && testsupport::Give(dir.path(), {0, 0, 01777}));
    const QString model = dir.filePath("index.db"), file = dir.filePath("index.db.new");
    ASSERT_TRUE(QFile(model).open(QIODevice::WriteOnly));
    const testsupport::Ownership wanted{0, testsupport::ReaderOwnership(0640).gid, 0640};
    ASSERT_TRUE(testsupport::Give(model, wanted));
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const pid_t child = ::fork();
    if (child == 0) {  // nobody, a member of neither root nor adm
        if (::setgid(65534) != 0 || ::setuid(65534) != 0 || !QFile(file).open(QIODevice::WriteOnly))
            ::_exit(1);
        const QByteArray why = zarvik::files::InheritOwnership(file, model).toUtf8();
        ::_exit(::write(ends[1], why.constData(), size_t(why.size())) == why.size() ? 0 : 1);
    }
    ::close(ends[1]);
    char buffer[1024] = {};
    const ssize_t n = ::read(ends[0], buffer, sizeof buffer - 1);
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_GT(n, 0) << "exit status " << status;
    const QString why = QString::fromUtf8(buffer, int(n));
    EXPECT_TRUE(why.contains("the owner root (Operation not permitted)")) << why.toStdString();
    EXPECT_TRUE(why.contains("the group adm (Operation not permitted)")) << why.toStdString();
    EXPECT_EQ(testsupport::OwnershipOf(file), (testsupport::Ownership{65534, 65534, 0640}));
}

}  // namespace

namespace {

// Folders made for an index let readers in whatever the umask; where none can be
// made, the system's reason.
TEST(MakeFolderForReaders, MakesEveryMissingFolder0755OrSaysWhyNot) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QFile(dir.filePath("file")).open(QIODevice::WriteOnly));
    const testsupport::ScopedUmask umask(077);
    const struct {
        const char* path;
        const char* why;
    } cases[] = {{"a/b/c", ""}, {"a/b/c", ""}, {"file", "Not a directory"}, {"file/x", "Not a directory"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(zarvik::files::MakeFolderForReaders(dir.filePath(c.path)), QLatin1String(c.why));
    }
    for (const char* made : {"a", "a/b", "a/b/c"})
        EXPECT_EQ(testsupport::OwnershipOf(dir.filePath(made)).mode, mode_t(0755)) << made;
}

}  // namespace
