// The table index_info a build writes into its index: what a reader or the next
// build needs to know of how the index was made.
#include <QDateTime>
#include <QRegularExpression>

#include "snowball/snowball.h"
#include "zarvik/index/buildrun.h"
#include "zarvik/index/indexfiles.h"

namespace zarvik::index {
namespace {

const QString kDefaultTokenizer = QStringLiteral("porter unicode61 remove_diacritics 2");

}  // namespace

QString Fts5IndexBuilder::Run::Tokenizer() const {
    const QString t = m_builder.m_settings.tokenizer.trimmed();
    return t.isEmpty() ? kDefaultTokenizer : t;
}

void Fts5IndexBuilder::Run::WriteInfo(const QStringList& names) {
    QString first = Tokenizer().section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
    first.remove(QRegularExpression(QStringLiteral("[\"'`\\[\\]]")));
    const bool snowball = first.compare(QLatin1String("snowball"), Qt::CaseInsensitive) == 0;
    const QList<std::pair<const char*, QString>> info = {
        {"name", m_builder.m_settings.name},
        {"built", QDateTime::currentDateTime()
                      .toOffsetFromUtc(QDateTime::currentDateTime().offsetFromUtc())
                      .toString(Qt::ISODate)},
        {"documents", QString::number(m_rows)},
        {"query", m_builder.m_settings.query},
        {"key", names.first()},
        {"tokenizer", Tokenizer()},
        // A reader of an index built with snowball must load the extension to search it.
        {"needs_extension", snowball ? QStringLiteral("lumora_snowball") : QStringLiteral("none")},
        {"libstemmer", snowball ? QString::fromUtf8(lumora_snowball_libstemmer_version()) : QString()},
        {"prefix", m_builder.m_settings.prefix.trimmed()},
        {"column_weights", m_builder.m_settings.columnWeights},
        {"unindexed", m_builder.m_settings.storedColumns},
        {"version", QStringLiteral(LUMORA_VERSION)},
        {"sqlite", QString::fromUtf8(sqlite3_libversion())},
        {"build_mode",
         Report().mode == component::BuildMode::Changes ? QStringLiteral("changes") : QStringLiteral("full")},
        {"full_build_reason", m_fullBuildReason},
        {"documents_added", QString::number(m_added)},
        {"documents_replaced", QString::number(m_replaced)},
        {"documents_deleted", QString::number(m_deleted)},
        {"digests", m_builder.m_settings.buildMode.mode != component::BuildMode::Changes
                        ? QStringLiteral("none")
                    : m_digestsLost.isEmpty() ? QStringLiteral("kept")
                                              : QStringLiteral("none: ") + m_digestsLost},
    };
    for (const auto& [name, value] : info) SetInfo(name, value);
}

void Fts5IndexBuilder::Run::SetInfo(const char* name, const QString& value) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, "INSERT OR REPLACE INTO index_info(name, value) VALUES(?, ?)", -1, &stmt,
                           nullptr) != SQLITE_OK)
        FailBuild(WriteError());
    const QByteArray v = value.toUtf8();
    sqlite3_bind_text(stmt, 1, name, -1, SQLITE_STATIC);
    sqlite3_bind_text(stmt, 2, v.constData(), int(v.size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) FailBuild(WriteError());
}

}  // namespace zarvik::index
