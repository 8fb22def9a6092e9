// The statements a PostgreSQL connection has prepared on the server, by the text and
// value types of their shape: one cache for every statement the backend sends.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <vector>

#include "zarvik/db/pg/pgpipeline.h"

namespace zarvik::db {

class PgStatementCache {
public:
    struct Prepared {
        QByteArray name;
        QStringList columns;  // once `described`
        bool described = false;
    };

    // The kept statement of a shape, or null.
    Prepared* Find(const QString& key);
    // Keeps the statement the server has prepared as `name`.
    Prepared& Keep(const QString& key, const QByteArray& name);
    // Forgets a statement that no longer fits its table; its name is not given again.
    void Remove(const QString& key) { m_kept.remove(key); }
    // Forgets them all; the server keeps them until the connection closes.
    void Clear() noexcept { m_kept.clear(); }

    // The name for a new statement prepared on the server (never reused on the
    // connection), or an empty one when the connection keeps no more of them; the
    // limit counts every name given before, so the server never holds more than 512.
    QByteArray NewName();

private:
    QHash<QString, Prepared> m_kept;
    quint64 m_names = 0;
};

// The statements one pipeline prepares as it goes: each shape is prepared by its
// first statement and run by the later ones of the pipeline; they are kept once the
// pipeline has run to its end (only then is each sure to be prepared).
class PgPreparing {
public:
    explicit PgPreparing(PgStatementCache& cache) : m_cache(cache) {}

    // Sets `statement` to run as the statement of `key`: the kept one, the one this
    // pipeline prepares, or a new one that it prepares first (none when the
    // connection keeps no more: it then runs unprepared).
    void Use(const QString& key, PgStatement& statement);
    // After the pipeline succeeded.
    void Keep();

private:
    PgStatementCache& m_cache;
    std::vector<std::pair<QString, QByteArray>> m_planned;
};

}  // namespace zarvik::db
