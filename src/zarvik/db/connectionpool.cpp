// The connection pool: physical connections kept while a caller still has one open.
#include "zarvik/db/connectionpool.h"

#include <QSqlQuery>
#include <QThread>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "zarvik/db/backend.h"
#include "zarvik/db/connectiontext.h"

namespace zarvik::db {
namespace {

QString NewConnectionName() {
    static std::atomic<quint64> counter{0};
    return QStringLiteral("zarvik.db.%1").arg(++counter);
}

void ClosePhysical(PhysicalConnection& physical) noexcept {
    if (physical.backend) physical.backend->Close();
    physical.backend.reset();
    QSqlDatabase::removeDatabase(physical.name);
}

// A run opens connections of one text again and again (the user nodes' reads and
// writes, each on a thread of its own): the text is read once, when first opened.
const ConnectionText& ParsedOnce(const QString& text) {
    static std::mutex mutex;
    static auto* parsed = new std::map<QString, ConnectionText>;  // never destroyed: used until exit
    const std::lock_guard lock(mutex);
    auto it = parsed->find(text);
    if (it == parsed->end()) it = parsed->emplace(text, ParseConnectionText(text)).first;
    return it->second;
}

std::shared_ptr<PhysicalConnection> OpenPhysical(const QString& connectionText) {
    auto physical = std::make_shared<PhysicalConnection>();
    physical->name = NewConnectionName();
    physical->text = connectionText;
    try {
        physical->backend = OpenBackend(ParsedOnce(connectionText), physical->name);
    } catch (...) {
        // A set-up that failed after the database opened leaves the Qt connection behind.
        QSqlDatabase::removeDatabase(physical->name);
        throw;
    }
    physical->reusable = physical->backend->Reusable();
    return physical;
}

// Physical connections kept for reuse, by connection text and thread (a Qt SQL
// connection belongs to the thread that opened it). The computation of USERNODE
// opens two connections per user while its user list stays open; opening a
// database is far dearer than the user's queries, most of all over TCP. A
// connection closed while an earlier connection of the same text is still open is
// kept and handed out, to one Connection at a time, by the next OpenConnection of
// that text; once no Connection of the text is open, the kept ones are closed, so
// nothing stays open behind the caller's back.
class ConnectionPool {
public:
    static ConnectionPool& Instance() {
        static ConnectionPool* pool = new ConnectionPool;  // never destroyed: used until exit
        return *pool;
    }

    // A kept connection of that text (or none) and the serial of the new Connection.
    std::shared_ptr<PhysicalConnection> Take(const QString& text, quint64& serial) {
        std::lock_guard lock(m_mutex);
        Family& family = m_families[Key(text)];
        serial = ++m_serial;
        family.open.insert(serial);
        if (family.idle.empty()) return nullptr;
        // The longest idle first: a caller that opens and closes its connections in
        // the same order each time gets the same one for the same part. The page
        // cache of a SQLite connection outlives only the commits of its own writes.
        auto physical = std::move(family.idle.front());
        family.idle.erase(family.idle.begin());
        return physical;
    }

    void Return(const QString& text, quint64 serial, std::shared_ptr<PhysicalConnection> physical) {
        std::vector<std::shared_ptr<PhysicalConnection>> closing;
        {
            std::lock_guard lock(m_mutex);
            const auto it = m_families.find(Key(text));
            if (it == m_families.end()) {
                closing.push_back(std::move(physical));
            } else {
                Family& family = it->second;
                family.open.erase(serial);
                const bool keep = physical && !family.open.empty() && *family.open.begin() < serial &&
                                  family.idle.size() < kKeptPerText;
                if (keep)
                    family.idle.push_back(std::move(physical));
                else
                    closing.push_back(std::move(physical));
                if (family.open.empty()) {
                    for (auto& idle : family.idle) closing.push_back(std::move(idle));
                    m_families.erase(it);
                }
            }
        }
        for (auto& c : closing)
            if (c) ClosePhysical(*c);
    }

private:
    static constexpr std::size_t kKeptPerText = 4;
    struct Family {
        std::set<quint64> open;  // serials of the Connections handed out
        std::vector<std::shared_ptr<PhysicalConnection>> idle;
    };
    using KeyType = std::pair<QString, Qt::HANDLE>;
    static KeyType Key(const QString& text) { return {text, QThread::currentThreadId()}; }

    std::mutex m_mutex;
    std::map<KeyType, Family> m_families;
    quint64 m_serial = 0;
};

}  // namespace

std::shared_ptr<PhysicalConnection> TakeConnection(const QString& connectionText, quint64& serial) {
    std::shared_ptr<PhysicalConnection> physical = ConnectionPool::Instance().Take(connectionText, serial);
    try {
        if (physical && !physical->backend->StillValid()) {
            ClosePhysical(*physical);
            physical.reset();
        }
        if (!physical) physical = OpenPhysical(connectionText);
    } catch (...) {
        ConnectionPool::Instance().Return(connectionText, serial, nullptr);
        throw;
    }
    return physical;
}

void ReturnConnection(quint64 serial, std::shared_ptr<PhysicalConnection> physical) noexcept {
    if (!physical) return;
    const QString text = physical->text;
    bool fit = physical->reusable && physical->backend->Database().isOpen();
    if (fit && physical->backend->HasOpenTransaction()) {
        QSqlQuery(physical->backend->Database()).exec(QStringLiteral("ROLLBACK"));
        fit = false;
    }
    if (!fit) {
        ClosePhysical(*physical);
        physical.reset();
    }
    ConnectionPool::Instance().Return(text, serial, std::move(physical));
}

}  // namespace zarvik::db
