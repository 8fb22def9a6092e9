// The IndexConfiguration.xml loader and its write-back on arbitrary files.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <exception>

#include "fuzz/check.h"
#include "zarvik/config/indexconfiguration.h"

namespace {

// Everything the loader delivers, one block per index.
QList<QStringList> Snapshot(zarvik::config::XmlIndexConfiguration& configuration) {
    QList<QStringList> blocks;
    for (const component::IndexEntry& entry : configuration.GetIndexList()) {
        QStringList values;
        values << entry.name << entry.display;
        try {
            configuration.LoadIndex(entry.name);
        } catch (const component::Error& error) {
            // An unreadable <Verify> value refuses that index, naming the element.
            FUZZ_CHECK(error.Number() == component::errnum::kConfigLoad, "error %d", error.Number());
            FUZZ_CHECK(error.Description().contains(QStringLiteral("<Verify><")), "%s",
                       qPrintable(error.Description()));
            blocks.append(values << QStringLiteral("refused: ") + error.Description());
            continue;
        }
        const component::VerifySettings verify = configuration.Settings().verify;
        FUZZ_CHECK(verify.minDocuments >= 0 && verify.maxShrinkPercent >= 0 && verify.maxShrinkPercent <= 100,
                   "verify %lld %d", static_cast<long long>(verify.minDocuments), verify.maxShrinkPercent);
        values << configuration.IndexName() << configuration.DbSetting1() << configuration.DbSetting2()
               << configuration.IndexPath() << configuration.Settings().targets.join(QLatin1Char('|'))
               << configuration.IndexDataSource() << configuration.Settings().query
               << configuration.Settings().storedColumns << configuration.Settings().tokenizer
               << configuration.Settings().prefix << configuration.LastBuilt() << configuration.NumDocuments();
        for (const component::DataSource& source : configuration.DbDataSources())
            values << source.name << source.text;
        values << QString::number(verify.minDocuments) << QString::number(verify.maxShrinkPercent)
               << verify.checkQueries.join(QLatin1Char('|'));
        blocks.append(values);
    }
    return blocks;
}

const QString& Folder() {
    // tmpfs where there is one: every save syncs the file.
    static QTemporaryDir dir(
        QDir(QFile::exists(QStringLiteral("/dev/shm")) ? QStringLiteral("/dev/shm") : QDir::tempPath())
            .filePath(QStringLiteral("lumora-fuzz-XXXXXX")));
    static const QString path = dir.path();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Loading warns about every element it does not know; millions of them belong
    // nowhere, least of all in syslog.
    static const bool quiet = qputenv("ZARVIK_EVENT_LOG", "/dev/null");
    (void)quiet;
    const QString path = Folder() + QStringLiteral("/IndexConfiguration.xml");
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }

    zarvik::config::XmlIndexConfiguration configuration;
    try {
        configuration.LoadFromFile(path);
    } catch (const component::Error& error) {
        FUZZ_CHECK(error.Number() == component::errnum::kConfigLoad, "error %d", error.Number());
        FUZZ_CHECK(error.Description().contains(path), "%s", qPrintable(error.Description()));
        return 0;
    }  // anything else thrown ends the fuzzer as a crash

    const QList<QStringList> before = Snapshot(configuration);
    const component::IndexList list = configuration.GetIndexList();
    if (list.isEmpty()) return 0;

    // Saved unchanged, the file loads to the same values.
    try {
        configuration.LoadIndex(list.first().name);
    } catch (const component::Error&) {
        return 0;  // refused for its <Verify>, as Snapshot checked
    }
    const QString lastBuilt = configuration.LastBuilt();
    try {
        configuration.SetLastBuilt(lastBuilt);
    } catch (const component::Error& error) {
        FUZZ_CHECK(false, "a loaded file cannot be saved: %s", qPrintable(error.Description()));
    }
    {
        zarvik::config::XmlIndexConfiguration reloaded;
        reloaded.LoadFromFile(path);
        FUZZ_CHECK(Snapshot(reloaded) == before, "values changed by saving them unchanged");
    }

    // A new value reads back, and nothing else changes with it.
    configuration.LoadIndex(list.first().name);
    const QString count = QStringLiteral("12 <&> \"'") + QString::number(size);
    try {
        configuration.SetNumDocuments(count);
    } catch (const component::Error& error) {
        FUZZ_CHECK(false, "a loaded file cannot be saved: %s", qPrintable(error.Description()));
    }
    zarvik::config::XmlIndexConfiguration reloaded;
    reloaded.LoadFromFile(path);
    const QList<QStringList> after = Snapshot(reloaded);
    reloaded.LoadIndex(list.first().name);
    FUZZ_CHECK(reloaded.NumDocuments() == count, "read back %s", qPrintable(reloaded.NumDocuments()));
    QList<QStringList> expected = before;
    // NumDocuments is the 14th value of a block; an index of the same name later in
    // the file shows the first one's values.
    for (QStringList& block : expected)
        if (block[0] == list.first().name) block[13] = count;
    FUZZ_CHECK(after == expected, "another value changed with NumDocuments");
    return 0;
}
