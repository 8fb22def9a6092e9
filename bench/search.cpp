// What the program's Search window answers: builds one index with the program's builder
// and prints, for each FTS5 query read from standard input (one a line), the keys its
// engine ranks, best first, comma-separated. For bench/readers.py.
//   lumora_bench_search TOKENIZER SOURCE.db FOLDER < QUERIES
// SOURCE.db holds DOCUMENT(DOCID, BODY); the index goes to FOLDER/index.db.
#include <QStringList>
#include <cstdio>
#include <iostream>
#include <string>

#include "zarvik/factory.h"
#include "zarvik/index/engine.h"
#include "zarvik/index/fts5indexbuilder.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: lumora_bench_search TOKENIZER SOURCE.db FOLDER < QUERIES\n");
        return 2;
    }
    zarvik::NewComponentFactory();  // registers snowball for the program's connections
    const QString folder = QString::fromLocal8Bit(argv[3]);
    zarvik::index::Fts5IndexBuilder builder;
    builder.Configure(nullptr, nullptr,
                      {.name = QStringLiteral("bench"),
                       .path = folder,
                       .query = QStringLiteral("SELECT DOCID, BODY FROM DOCUMENT"),
                       .tokenizer = QString::fromUtf8(argv[1])},
                      QStringLiteral("Provider=SQLite;Database=") + QString::fromLocal8Bit(argv[2]));
    if (!builder.Build()) {
        std::fprintf(stderr, "the build of %s failed\n", argv[3]);
        return 1;
    }
    const zarvik::index::Fts5Engine engine(QString(), QString(), false);
    const QString index = folder + QStringLiteral("/index.db");
    std::string line;
    while (std::getline(std::cin, line)) {
        QStringList keys;
        for (const auto& hit : engine.Search(index, QString::fromStdString(line), 0, 1000).hits)
            keys << hit.key;
        std::cout << keys.join(QLatin1Char(',')).toStdString() << '\n' << std::flush;
    }
    return 0;
}
