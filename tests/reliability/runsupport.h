// What the fault tests share: the program in a folder of its own with a generated
// configuration, a document database large enough that each phase of a run takes
// some time, a user catalog whose expected USERNODE rows the test knows, and the
// checks that tell an old state from a new one.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>
#include <QVariant>
#include <random>
#include <stdexcept>

#include "support/headlessenv.h"

namespace reliability {

inline QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

// ---- documents -----------------------------------------------------------------------

// Generation g of the documents: kDocuments rows, and kExtra more in odd generations,
// so the count in an index tells which generation it was built from.
constexpr int kDocuments = 12000;
constexpr int kExtra = 700;
inline int DocumentCount(int generation) {
    return kDocuments + (generation % 2) * kExtra;
}

inline void Check(int rc, sqlite3* db, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

inline void WriteDocuments(const QString& file, int generation) {
    sqlite3* db = nullptr;
    Check(sqlite3_open(QFile::encodeName(file).constData(), &db), db, "open");
    sqlite3_busy_timeout(db, 10000);
    Check(
        sqlite3_exec(db,
                     "CREATE TABLE IF NOT EXISTS DOCUMENT (DOCID INTEGER PRIMARY KEY, TITLE TEXT, BODY TEXT);"
                     "BEGIN; DELETE FROM DOCUMENT;",
                     nullptr, nullptr, nullptr),
        db, "documents");
    sqlite3_stmt* insert = nullptr;
    Check(sqlite3_prepare_v2(db, "INSERT INTO DOCUMENT VALUES (?, ?, ?)", -1, &insert, nullptr), db,
          "prepare");
    static const char* const kWords[] = {"river", "stone", "light",  "gener", "north", "field",
                                         "glass", "bread", "chair",  "cloud", "sound", "table",
                                         "water", "green", "winter", "paper"};
    std::mt19937 random(1234 + generation);
    for (int id = 1; id <= DocumentCount(generation); ++id) {
        QByteArray body;
        for (int w = 0; w < 40; ++w)
            body += QByteArray(kWords[random() % 16]) + QByteArray::number(random() % 97) + ' ';
        const QByteArray title =
            "Document " + QByteArray::number(id) + " of generation " + QByteArray::number(generation);
        sqlite3_bind_int(insert, 1, id);
        sqlite3_bind_text(insert, 2, title.constData(), int(title.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, body.constData(), int(body.size()), SQLITE_TRANSIENT);
        Check(sqlite3_step(insert), db, "insert");
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    sqlite3_close(db);
}

// The number of documents of the index in a folder, or -1 when it does not open or
// cannot be searched.
inline int IndexedDocuments(const QString& folder) {
    const QString file = folder + QStringLiteral("/index.db");
    if (!QFileInfo::exists(file)) return -1;
    sqlite3* db = nullptr;
    int count = -1;
    if (sqlite3_open_v2(QFile::encodeName(file).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        // A full-text query reads the index itself, not only its table of contents.
        if (sqlite3_prepare_v2(db,
                               "SELECT (SELECT COUNT(*) FROM documents), "
                               "(SELECT COUNT(*) FROM documents WHERE documents MATCH 'document')",
                               -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int(stmt, 0) == sqlite3_column_int(stmt, 1))
            count = sqlite3_column_int(stmt, 0);
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return count;
}

// ---- the user catalog ----------------------------------------------------------------

// Catalog 2: 200 ─┬─ 210 ── 211. In even generations every user is given 210, in odd
//                 └─ 220        ones 220.
inline QStringList ExpectedRows(int generation) {
    return generation % 2 == 0 ? QStringList{QStringLiteral("2/210"), QStringLiteral("2/211")}
                               : QStringList{QStringLiteral("2/220")};
}
inline const QStringList kBeforeAnyRun = {QStringLiteral("9/999")};

inline QString UserId(int i) {
    return QStringLiteral("user'%1").arg(i, 4, 10, QLatin1Char('0'));
}

inline void Exec(QSqlDatabase& db, const QString& sql) {
    QSqlQuery query(db);
    if (!query.exec(sql))
        throw std::runtime_error(query.lastError().text().toStdString() + " in " + sql.toStdString());
}

inline void CreateCatalog(QSqlDatabase& db, int users) {
    Exec(db, QStringLiteral("CREATE TABLE CATALOGNODE (NODEID INTEGER NOT NULL, PARENTNODEID INTEGER NULL, "
                            "CATALOGID INTEGER NOT NULL, NODENAME VARCHAR(100) NOT NULL)"));
    Exec(db, QStringLiteral(
                 "CREATE TABLE CATALOGNODEBYUSER (USERID VARCHAR(100) NOT NULL, CATALOGID INTEGER NOT NULL, "
                 "NODEID INTEGER NOT NULL, LEVEL SMALLINT NULL, ISPROFILE INTEGER NOT NULL)"));
    Exec(db,
         QStringLiteral("CREATE TABLE USERNODE (USERID VARCHAR(100) NOT NULL, CATALOGID INTEGER NOT NULL, "
                        "NODEID INTEGER NOT NULL)"));
    Exec(db, QStringLiteral("CREATE INDEX IX_UN_USER ON USERNODE (USERID)"));
    Exec(db, QStringLiteral("CREATE INDEX IX_CNU_USER ON CATALOGNODEBYUSER (USERID, CATALOGID)"));
    Exec(db, QStringLiteral("INSERT INTO CATALOGNODE VALUES (200, NULL, 2, 'n'), (210, 200, 2, 'n'), "
                            "(211, 210, 2, 'n'), (220, 200, 2, 'n')"));
    if (!db.transaction()) throw std::runtime_error("transaction");
    QSqlQuery grant(db), old(db);
    grant.prepare(QStringLiteral("INSERT INTO CATALOGNODEBYUSER VALUES (?, 2, 210, 1, 0)"));
    old.prepare(QStringLiteral("INSERT INTO USERNODE VALUES (?, 9, 999)"));
    for (int i = 0; i < users; ++i) {
        grant.addBindValue(UserId(i));
        old.addBindValue(UserId(i));
        if (!grant.exec() || !old.exec()) throw std::runtime_error("catalog rows");
    }
    if (!db.commit()) throw std::runtime_error("commit");
}

inline void AssignGeneration(QSqlDatabase& db, int generation) {
    Exec(db, QStringLiteral("UPDATE CATALOGNODEBYUSER SET NODEID = %1").arg(generation % 2 == 0 ? 210 : 220));
}

// Each user's rows as sorted "catalog/node" texts.
inline QHash<QString, QStringList> UserRows(QSqlDatabase& db) {
    QHash<QString, QStringList> rows;
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT USERID, CATALOGID, NODEID FROM USERNODE")))
        throw std::runtime_error(query.lastError().text().toStdString());
    while (query.next())
        rows[query.value(0).toString()].append(query.value(1).toString() + QLatin1Char('/') +
                                               query.value(2).toString());
    for (QStringList& list : rows) list.sort();
    return rows;
}

// How many users hold exactly the rows of each state; `other` counts users holding
// anything else, which is data loss or corruption.
struct UserStates {
    int old = 0;
    int fresh = 0;
    int other = 0;
    QString example;  // a user of `other`
};

inline UserStates ClassifyUsers(QSqlDatabase& db, int users, const QStringList& oldRows,
                                const QStringList& newRows) {
    const QHash<QString, QStringList> rows = UserRows(db);
    UserStates states;
    for (int i = 0; i < users; ++i) {
        const QStringList mine = rows.value(UserId(i));
        if (mine == oldRows) {
            ++states.old;
        } else if (mine == newRows) {
            ++states.fresh;
        } else {
            ++states.other;
            if (states.example.isEmpty()) states.example = UserId(i) + QStringLiteral(": ") + mine.join(u' ');
        }
    }
    if (rows.size() > users) states.other += int(rows.size()) - users;
    return states;
}

// ---- the program in its own folder -----------------------------------------------------

struct RunResult {
    int exitCode = -1;  // -1: did not end normally
    QString stderrText;
};

class ProgramFolder {
public:
    ProgramFolder() {
        if (!m_dir.isValid()) throw std::runtime_error("temporary folder");
        bin = m_dir.filePath(QStringLiteral("bin"));
        data = m_dir.filePath(QStringLiteral("data"));
        QDir().mkpath(bin);
        QDir().mkpath(data);
        program = bin + QStringLiteral("/TessalyIndexManager");
        if (!QFile::copy(QStringLiteral(LUMORA_BINARY), program)) throw std::runtime_error("copy program");
        indexPath = data + QStringLiteral("/indexes/catalog");
        eventLog = data + QStringLiteral("/events.jsonl");
    }

    QString ConfigPath() const { return bin + QStringLiteral("/IndexConfiguration.xml"); }

    // Documents and catalog as connection texts; targets absolute.
    // `elements` go into the <Index> as they are.
    void WriteConfig(const QString& documents, const QString& catalog, const QStringList& targets = {},
                     const QString& elements = {}) {
        QString propagations;
        for (const QString& t : targets) propagations += QStringLiteral("<Target>%1</Target>").arg(t);
        const QString text =
            QStringLiteral(R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- written by the fault tests -->
<IndexConfiguration>
  <Index name="catalog" display="Catalog documents">
    <IndexPath>%1</IndexPath>
    <IndexDataSource>Documents</IndexDataSource>
    <DbDataSources>
      <DataSource name="Primary">%2</DataSource>
      <DataSource name="RAdozudo">%3</DataSource>
      <DataSource name="Documents">%2</DataSource>
    </DbDataSources>
    <IndexSetting1>SELECT DOCID, TITLE, BODY FROM DOCUMENT</IndexSetting1>
    <Propagations>%4</Propagations>
    <LastBuilt></LastBuilt>
    <NumDocuments></NumDocuments>%5
  </Index>
</IndexConfiguration>
)")
                .arg(indexPath, documents.toHtmlEscaped(), catalog.toHtmlEscaped(), propagations, elements);
        WriteBytes(ConfigPath(), text.toUtf8());
    }

    void Start(QProcess& process, const QStringList& arguments = DefaultArguments()) const {
        process.setProcessEnvironment(testsupport::HeadlessEnvironment(eventLog));
        process.start(program, arguments);
        if (!process.waitForStarted(30000)) throw std::runtime_error("the program did not start");
    }

    RunResult Run(const QStringList& arguments = DefaultArguments(), int timeoutMs = 240000) const {
        QProcess process;
        Start(process, arguments);
        if (!process.waitForFinished(timeoutMs)) {
            process.kill();
            process.waitForFinished();
            ADD_FAILURE() << "the program did not end within " << timeoutMs << " ms";
        }
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAllStandardError())};
    }

    static QStringList DefaultArguments() {
        return {QStringLiteral("/auto"), QStringLiteral("/index"), QStringLiteral("catalog")};
    }

    QString bin;
    QString data;
    QString program;
    QString indexPath;
    QString eventLog;

private:
    QTemporaryDir m_dir;
};

// Documents and catalog in one SQLite file, as an application database holds them,
// and a configuration that reads both from it. Raises when the file cannot be made.
inline void WriteAppDatabase(ProgramFolder& f, const QString& file, int users) {
    WriteDocuments(file, 0);
    const QString text = QStringLiteral("Provider=SQLite;Database=") + file;
    f.WriteConfig(text, text);
    const QString name = QStringLiteral("app-database");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        if (!db.open()) throw std::runtime_error("cannot open the application database");
        CreateCatalog(db, users);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

// The USERNODE rows a reader that may not write beside the file counts, as a web
// server's user does: nobody (through runuser) when the test runs as root, else this
// user, the folder made read-only either way; -1 when it cannot read them.
inline int UserNodeRowsSeenReadOnly(const QString& file) {
    const QString folder = QFileInfo(file).absolutePath(), above = QFileInfo(folder).absolutePath();
    const QFileDevice::Permissions folderMode = QFile::permissions(folder),
                                   aboveMode = QFile::permissions(above);
    const auto readOnly = QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                          QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
    QFile::setPermissions(above, aboveMode | QFileDevice::ExeOther);
    QFile::setPermissions(folder, readOnly);
    QStringList command{"sqlite3", "-readonly", file, "SELECT COUNT(*) FROM USERNODE"};
    if (::geteuid() == 0) command = QStringList{"runuser", "-u", "nobody", "--"} + command;
    QProcess reader;
    reader.start(command.takeFirst(), command);
    const bool ended = reader.waitForFinished(30000);
    QFile::setPermissions(folder, folderMode);
    QFile::setPermissions(above, aboveMode);
    bool number = false;
    const int rows = reader.readAllStandardOutput().trimmed().toInt(&number);
    return ended && reader.exitCode() == 0 && number ? rows : -1;
}

// The box a headless run writes to standard error for a message.
inline QString Shown(const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return shown;
}

}  // namespace reliability
