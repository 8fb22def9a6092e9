// The tokenizer snowball per language, through the program's builder and its own
// connections, and through the readers of the README that load lumora_snowball.so.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstring>
#include <map>

#include "component/error.h"
#include "zarvik/config/indexelements.h"
#include "zarvik/factory.h"
#include "zarvik/index/engine.h"
#include "zarvik/index/fts5indexbuilder.h"

namespace {

struct Row {
    const char* tokenizer;
    const char* query;
    const char* document;
    bool match;
};

// A query word and the document word it must (or must not) find. A word the
// stemmer does not join to its form (laufen/läuft, huizen/huis) is a limit of the
// Snowball algorithm, listed in the README, and not asked here.
const Row kRows[] = {
    {"snowball german", "Häuser", "Das Haus am See", true},
    {"snowball german", "Buch", "Bücher lesen", true},
    {"snowball german", "Kinder", "ein Kind spielt", true},
    {"snowball german", "Straße", "die Straßen der Stadt", true},
    {"snowball german", "schön", "die schönsten Tage", true},
    {"snowball german", "Haus", "eine Hose", false},
    {"snowball french unicode61 remove_diacritics 2", "chevaux", "un cheval blanc", true},
    {"snowball french unicode61 remove_diacritics 2", "journal", "les journaux du matin", true},
    {"snowball french unicode61 remove_diacritics 2", "eleve", "les élèves", true},
    {"snowball french unicode61 remove_diacritics 2", "heureux", "elle est heureuse", true},
    {"snowball spanish", "canciones", "una canción", true},
    {"snowball spanish", "hablar", "hablamos mucho", true},
    {"snowball spanish", "niño", "los niños", true},
    {"snowball italian", "libro", "due libri", true},
    {"snowball italian", "parlare", "parlano piano", true},
    {"snowball italian", "ragazza", "le ragazze", true},
    {"snowball dutch", "boek", "de boeken", true},
    {"snowball dutch", "boek", "een boot", false},
    {"snowball portuguese", "livro", "os livros", true},
    {"snowball portuguese", "falar", "nós falamos", true},
    {"snowball portuguese", "cidade", "as cidades", true},
    {"snowball swedish", "hus", "husen", true},
    {"snowball swedish", "flicka", "flickor", true},
    {"snowball swedish", "bil", "bilarna", true},
    {"snowball russian", "книги", "книга на столе", true},
    {"snowball russian", "Москве", "Москва река", true},
    {"snowball russian", "дом", "за домами", true},
    {"snowball russian", "дом", "дым", false},
    {"snowball greek", "σπίτι", "τα σπίτια", true},
    // Typed without the accents the stemmer reads: the document holds that stem too.
    {"snowball spanish unicode61 remove_diacritics 2", "informacion", "la información", true},
    {"snowball spanish unicode61 remove_diacritics 0", "informacion", "la información", false},
    {"snowball french unicode61 remove_diacritics 2", "creee", "elle a été créée", true},
    {"snowball portuguese unicode61 remove_diacritics 2", "informacao", "a informação", true},
    {"snowball greek", "θάλασσα", "οι θάλασσες", true},
    {"snowball greek", "άνθρωπος", "των ανθρώπων", true},
    // Several languages: each word by the first that changes it.
    {"snowball german english", "Häuser", "Haus", true},
    {"snowball german english", "running", "a run", true},
    // Substrings and scripts without spaces: FTS5's trigram, which needs 3 characters.
    {"trigram", "東京都", "東京都庁に行きます", true},
    {"trigram", "京都", "京都の寺", false},
    {"trigram", "traßenba", "Die Straßenbahn", true},
};

void Exec(sqlite3* db, const char* sql) {
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
}

// A document database made by the script, as a connection text.
QString Source(const QString& path, const QByteArray& script) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    Exec(db, script.constData());
    sqlite3_close(db);
    return QStringLiteral("Provider=SQLite;Database=") + path;
}

// The rows of one tokenizer, keyed by row number.
QByteArray RowsScript(const std::vector<int>& rows) {
    QByteArray script = "CREATE TABLE DOCUMENT(DOCID INTEGER PRIMARY KEY, BODY TEXT);";
    for (int r : rows) {
        char* sql = sqlite3_mprintf("INSERT INTO DOCUMENT VALUES(%d, %Q);", r, kRows[r].document);
        script += sql;
        sqlite3_free(sql);
    }
    return script;
}

// Python, the sqlite3 shell and PHP rank as the program did, for each line of the table.
void ExpectReadersAgree(const QString& table) {
    QProcess readers;
    readers.start(QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral(LUMORA_TEST_DIR "/readers.py"), QStringLiteral(LUMORA_SNOWBALL_SO), table});
    ASSERT_TRUE(readers.waitForFinished(60000));
    EXPECT_EQ(readers.exitCode(), 0) << readers.readAll().toStdString()
                                     << readers.readAllStandardError().toStdString();
}

// The keys the Search window's engine finds, best first.
QByteArray RankedKeys(const QString& index, const QByteArray& query) {
    const zarvik::index::Fts5Engine engine(QString(), QString(), false);
    QStringList keys;
    for (const auto& hit : engine.Search(index, QString::fromUtf8(query), 0, 100).hits) keys << hit.key;
    return keys.join(QLatin1Char(',')).toUtf8();
}

TEST(SnowballLanguages, EveryReaderFindsTheFormsOfAWord) {
    zarvik::NewComponentFactory();  // registers snowball for the program's connections
    QTemporaryDir tmp;
    std::map<std::string, std::vector<int>> byTokenizer;
    for (int r = 0; r < int(std::size(kRows)); ++r) byTokenizer[kRows[r].tokenizer].push_back(r);

    QFile table(tmp.filePath(QStringLiteral("questions.tsv")));
    ASSERT_TRUE(table.open(QIODevice::WriteOnly));
    int n = 0;
    for (const auto& [tokenizer, rows] : byTokenizer) {
        const QString folder = tmp.filePath(QStringLiteral("index%1").arg(++n));
        zarvik::index::Fts5IndexBuilder builder;
        builder.Configure(nullptr, nullptr,
                          {.name = QStringLiteral("t"),
                           .path = folder,
                           .query = QStringLiteral("SELECT DOCID, BODY FROM DOCUMENT"),
                           .tokenizer = QString::fromStdString(tokenizer)},
                          Source(tmp.filePath(QStringLiteral("source%1.db").arg(n)), RowsScript(rows)));
        ASSERT_TRUE(builder.Build()) << tokenizer;
        const QString index = folder + QStringLiteral("/index.db");
        QByteArrayList every;
        for (int r : rows) {
            const QByteArray query = QByteArray("\"") + kRows[r].query + "\"";
            const QByteArray ranked = RankedKeys(index, query);
            EXPECT_EQ(ranked.split(',').contains(QByteArray::number(r)), kRows[r].match)
                << tokenizer << ": " << kRows[r].query << " / " << kRows[r].document;
            table.write(index.toUtf8() + '\t' + query + '\t' + ranked + '\n');
            every << query;
        }
        // A query that finds several documents, for the readers to rank alike.
        const QByteArray any = every.join(" OR ");
        table.write(index.toUtf8() + '\t' + any + '\t' + RankedKeys(index, any) + '\n');
    }
    table.close();
    ExpectReadersAgree(table.fileName());
}

// <ColumnWeights> in the index's rank setting: the program and every reader, with the
// extension or (for FTS5's own tokenizers) without it, rank by them; other weights
// make a build of the changes a full one; a wrong count stops the build.
TEST(SnowballLanguages, ColumnWeightsRankInEveryReader) {
    zarvik::NewComponentFactory();
    QTemporaryDir tmp;
    const QString source =
        Source(tmp.filePath(QStringLiteral("source.db")),
               "CREATE TABLE DOCUMENT(DOCID INTEGER PRIMARY KEY, TITLE TEXT, URL TEXT, BODY TEXT);"
               "INSERT INTO DOCUMENT VALUES(1, 'Ocean', '/ocean', 'salt water and waves'),"
               "(2, 'Sea', '/sea', 'an ocean or a sea, salt water'), (3, 'Lake', '/', 'fresh');");
    struct Case {
        const char* tokenizer;
        const char* weights;
        QByteArray ranked;  // for "ocean"; empty when the build must stop
    };
    const Case cases[] = {{"", "10 1", "1,2"},
                          {"", "1 10", "2,1"},
                          {"snowball english", "10  1", "1,2"},
                          {"snowball english", "0 1", "2,1"},
                          {"", "10 1 1", ""}};
    QFile table(tmp.filePath(QStringLiteral("questions.tsv")));
    ASSERT_TRUE(table.open(QIODevice::WriteOnly));
    const QString folder = tmp.filePath(QStringLiteral("index"));
    for (const Case& c : cases) {
        component::IndexSettings settings{
            .name = QStringLiteral("t"),
            .path = folder,
            .query = QStringLiteral("SELECT DOCID, TITLE, URL, BODY FROM DOCUMENT"),
            .storedColumns = QStringLiteral("URL"),
            .tokenizer = QString::fromUtf8(c.tokenizer),
            .buildMode = {component::BuildMode::Changes, 30}};
        zarvik::config::ReadColumnWeights(QString::fromUtf8(c.weights), settings);
        zarvik::index::Fts5IndexBuilder builder;
        builder.Configure(nullptr, nullptr, settings, source);
        if (c.ranked.isEmpty()) {
            try {
                builder.Build();
                ADD_FAILURE() << c.weights << " built";
            } catch (const component::Error& e) {
                EXPECT_TRUE(
                    e.Description().contains(u"<ColumnWeights> gives 3 weights (10 1 1) for the 2 searched "
                                             u"columns of the document query "
                                             "(TITLE, BODY)"))
                    << e.Description().toStdString();
            }
            continue;
        }
        ASSERT_TRUE(builder.Build()) << c.weights;
        // A copy of a copy: each index in a file of its own for the readers.
        const QString index = tmp.filePath(QStringLiteral("%1.db").arg(table.pos()));
        ASSERT_TRUE(QFile::copy(folder + QStringLiteral("/index.db"), index));
        EXPECT_EQ(RankedKeys(index, "ocean"), c.ranked) << c.tokenizer << " / " << c.weights;
        table.write(index.toUtf8() + "\tocean\t" + c.ranked + '\n');
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(QFile::encodeName(index).constData(), &db), SQLITE_OK);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(
            db,
            "SELECT name, value FROM index_info WHERE name IN ('build_mode', 'full_build_reason',"
            " 'column_weights') ORDER BY name",
            -1, &stmt, nullptr);
        QStringList info;
        while (sqlite3_step(stmt) == SQLITE_ROW)
            info << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)));
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        // Each case changes the weights or the tokenizer of the one before.
        ASSERT_EQ(info.size(), 3);
        EXPECT_EQ(info[0], u"full");
        EXPECT_EQ(info[1], QString::fromUtf8(c.weights).simplified());
        if (&c != cases && std::strcmp(c.tokenizer, (&c - 1)->tokenizer) == 0) {
            EXPECT_EQ(info[2], u"the live index was built with another set of column weights");
        }
    }
    table.close();
    ExpectReadersAgree(table.fileName());
}

}  // namespace
