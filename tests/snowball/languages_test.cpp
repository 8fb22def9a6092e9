// The tokenizer snowball per language, through the program's builder and its own
// connections, and through the readers of the README that load lumora_snowball.so.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <map>

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

// A document database holding the rows of one tokenizer, keyed by row number.
QString Source(const QString& path, const std::vector<int>& rows) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    Exec(db, "CREATE TABLE DOCUMENT(DOCID INTEGER PRIMARY KEY, BODY TEXT)");
    for (int r : rows) {
        char* sql = sqlite3_mprintf("INSERT INTO DOCUMENT VALUES(%d, %Q)", r, kRows[r].document);
        Exec(db, sql);
        sqlite3_free(sql);
    }
    sqlite3_close(db);
    return QStringLiteral("Provider=SQLite;Database=") + path;
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
                          Source(tmp.filePath(QStringLiteral("source%1.db").arg(n)), rows));
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

    QProcess readers;
    readers.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(LUMORA_TEST_DIR "/readers.py"),
                                                       QStringLiteral(LUMORA_SNOWBALL_SO), table.fileName()});
    ASSERT_TRUE(readers.waitForFinished(60000));
    EXPECT_EQ(readers.exitCode(), 0) << readers.readAll().toStdString()
                                     << readers.readAllStandardError().toStdString();
}

}  // namespace
