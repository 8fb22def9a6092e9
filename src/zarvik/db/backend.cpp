// The backend factory: a connection text's provider to the backend that opens it.
#include "zarvik/db/backend.h"

#include <QSqlDriver>
#include <QSqlError>
#include <atomic>

namespace zarvik::db {

void Backend::Close() noexcept {
    ForgetStatements();
    m_database.close();
}

void ThrowUnlessOpened(QSqlDatabase& database, const QString& driver) {
    if (!database.isValid())
        ThrowDatabaseError(QStringLiteral("The Qt SQL driver %1 is not available").arg(driver));
    if (!database.open())
        ThrowDatabaseError(QStringLiteral("The database cannot be opened"), database.lastError(), {});
}

std::unique_ptr<Backend> OpenBackend(const QString& connectionText, const QString& name) {
    return OpenBackend(ParseConnectionText(connectionText), name);
}

std::unique_ptr<Backend> OpenBackend(const ConnectionText& text, const QString& name) {
    switch (text.provider) {
        case Provider::SQLite:
            return OpenSqliteBackend(text, name);
        case Provider::PostgreSQL:
            return OpenPgBackend(text, name);
        case Provider::ODBC:
            return OpenOdbcBackend(text, name);
    }
    ThrowDatabaseError(QStringLiteral("The connection text names no known provider"));
}

namespace {

// A reader together with the connection it reads on, which ends with it.
class OwnConnectionReader final : public BatchReader {
public:
    OwnConnectionReader(std::unique_ptr<Backend> backend, QString name, const QString& query,
                        Heartbeat heartbeat)
        : m_name(std::move(name)), m_backend(std::move(backend)) {
        try {
            m_reader = m_backend->NewBatchReader(query, std::move(heartbeat));
        } catch (...) {
            Release();
            throw;
        }
    }
    ~OwnConnectionReader() override { Release(); }
    OwnConnectionReader(const OwnConnectionReader&) = delete;
    OwnConnectionReader& operator=(const OwnConnectionReader&) = delete;

    std::int64_t Count() override { return m_reader->Count(); }
    void Start() override { m_reader->Start(); }
    QStringList ColumnNames() const override { return m_reader->ColumnNames(); }
    bool Read(Batch& batch, int maxRows, std::size_t maxBytes) override {
        return m_reader->Read(batch, maxRows, maxBytes);
    }
    bool Stopped() const override { return m_reader->Stopped(); }
    void Interrupt() override { m_reader->Interrupt(); }

private:
    void Release() noexcept {
        m_reader.reset();
        m_backend->Close();
        m_backend.reset();
        QSqlDatabase::removeDatabase(m_name);
    }

    QString m_name;
    std::unique_ptr<Backend> m_backend;
    std::unique_ptr<BatchReader> m_reader;
};

}  // namespace

std::unique_ptr<BatchReader> OpenBatchReader(const ConnectionText& text, const QString& query,
                                             Heartbeat heartbeat) {
    static std::atomic<int> readers{0};
    const QString name = QStringLiteral("zarvik-batches-%1").arg(++readers);
    return std::make_unique<OwnConnectionReader>(OpenBackend(text, name), name, query, std::move(heartbeat));
}

void* DriverHandle(const QSqlDatabase& database, const char* typeName) {
    const QSqlDriver* driver = database.driver();
    if (!driver) return nullptr;
    const QVariant handle = driver->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), typeName) != 0) return nullptr;
    return *static_cast<void* const*>(handle.constData());
}

}  // namespace zarvik::db
