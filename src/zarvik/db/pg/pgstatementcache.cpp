// The statements prepared on a PostgreSQL connection.
#include "zarvik/db/pg/pgstatementcache.h"

#include <algorithm>

namespace zarvik::db {
namespace {

// Enough for every shape of statement of the USERNODE computation, lists of every
// length included; shapes past it are sent unprepared, so the server's memory for
// the connection stays bounded.
constexpr quint64 kMostPrepared = 512;

}  // namespace

PgStatementCache::Prepared* PgStatementCache::Find(const QString& key) {
    const auto found = m_kept.find(key);
    return found == m_kept.end() ? nullptr : &*found;
}

PgStatementCache::Prepared& PgStatementCache::Keep(const QString& key, const QByteArray& name) {
    return *m_kept.insert(key, {name, {}, false});
}

QByteArray PgStatementCache::NewName() {
    // Counts every name given, also those of statements prepared but not kept (their
    // pipeline failed), so that the server holds at most this many.
    if (m_names >= kMostPrepared) return {};
    return "zarvik_" + QByteArray::number(++m_names);
}

void PgPreparing::Use(const QString& key, PgStatement& statement) {
    if (const PgStatementCache::Prepared* kept = m_cache.Find(key)) {
        statement.prepared = kept->name;
        return;
    }
    const auto planned =
        std::find_if(m_planned.begin(), m_planned.end(), [&](const auto& p) { return p.first == key; });
    if (planned != m_planned.end()) {
        statement.prepared = planned->second;
        return;
    }
    statement.prepared = m_cache.NewName();
    statement.prepare = !statement.prepared.isEmpty();
    if (statement.prepare) m_planned.emplace_back(key, statement.prepared);
}

void PgPreparing::Keep() {
    for (const auto& [key, name] : m_planned) m_cache.Keep(key, name);
    m_planned.clear();
}

}  // namespace zarvik::db
