// Scripted fakes of the component.
#include "support/fake_component.h"

namespace testsupport {
namespace {
const QString kFakeSource = QStringLiteral("FakeComponent");

class FakeEngine final : public component::SearchEngine {
public:
    explicit FakeEngine(FakeState& state) : m_state(state) {}
    std::int16_t MajorVersion() const override {
        m_state.engineReads.append(QStringLiteral("MajorVersion"));
        return m_state.engineMajor;
    }
    std::int16_t MinorVersion() const override {
        m_state.engineReads.append(QStringLiteral("MinorVersion"));
        return m_state.engineMinor;
    }
    std::int32_t BuildNumber() const override {
        m_state.engineReads.append(QStringLiteral("BuildNumber"));
        return m_state.engineBuild;
    }
    component::SearchResults Search(const QString& indexPath, const QString& query, int first,
                                    int count) const override {
        return m_state.search(indexPath, query, first, count);
    }

private:
    FakeState& m_state;
};

// A database that answers every query with the rows scripted for its text (none by
// default) and accepts every statement.
class FakeConnection final : public component::Connection {
public:
    explicit FakeConnection(FakeState& state) : m_state(state) {}
    void Execute(const QString& sql) override { m_state.statements.append(sql); }
    void BeginTrans() override {}
    void CommitTrans() override {}
    void RollbackTrans() override {}
    void Close() override {}

private:
    FakeState& m_state;
};

class FakeRecordset final : public component::UpdatableRecordset, public component::Recordset {
public:
    FakeRecordset(QString column, QStringList rows) : m_column(std::move(column)), m_rows(std::move(rows)) {}
    bool IsEOF() const override { return m_pos >= m_rows.size(); }
    bool IsBOF() const override { return m_rows.isEmpty(); }
    QVariant Field(const QString& column) const override {
        if (IsEOF() || column.compare(m_column, Qt::CaseInsensitive) != 0)
            throw component::Error(component::errnum::kDatabase, kFakeSource,
                                   QStringLiteral("no field ") + column);
        return m_rows.at(m_pos);
    }
    void MoveNext() override { ++m_pos; }
    void MoveFirst() override { m_pos = 0; }
    QList<QVariantList> GetRows() override {
        QVariantList values;
        for (; m_pos < m_rows.size(); ++m_pos) values.append(m_rows.at(m_pos));
        return {values};
    }
    void AddNew() override {}
    void SetField(const QString&, const QVariant&) override {}
    void UpdateBatch() override {}
    void CancelBatch() override {}

private:
    QString m_column;
    QStringList m_rows;
    qsizetype m_pos = 0;
};

// A stream with no rows, and a batch that accepts every unit.
class FakeRowStream final : public component::RowStream {
public:
    bool Next(QVariantList&) override { return false; }
};

class FakeRewriteBatch final : public component::RewriteBatch {
public:
    explicit FakeRewriteBatch(FakeState& state) : m_state(state) {}
    void BeginUnit(const QString& deleteSql) override {
        m_state.statements.append(deleteSql);
        ++m_units;
    }
    void AddRow(const QVariantList&) override { ++m_rows; }
    qsizetype PendingUnits() const override { return m_units; }
    qsizetype PendingRows() const override { return m_rows; }
    void Send() override {
        m_committed = m_units;
        Cancel();
    }
    qsizetype UnitsCommitted() const override { return m_committed; }
    void Cancel() override { m_units = m_rows = 0; }

private:
    FakeState& m_state;
    qsizetype m_units = 0;
    qsizetype m_rows = 0;
    qsizetype m_committed = 0;
};

class FakeServices final : public component::IndexingServices {
public:
    explicit FakeServices(FakeState& state) : m_state(state) {}
    QString GetConnectionString(const QString& s1, const QString& s2, const QString& name,
                                const component::DataSourceList&) override {
        m_state.serviceCalls.append(QStringLiteral("GetConnectionString(%1,%2,%3)").arg(s1, s2, name));
        return m_state.connectionStrings.value(name);
    }
    std::unique_ptr<component::Connection> OpenConnection(const QString& text) override {
        m_state.serviceCalls.append(QStringLiteral("OpenConnection(%1)").arg(text));
        if (m_state.openConnectionError) throw *m_state.openConnectionError;
        return std::make_unique<FakeConnection>(m_state);
    }
    std::unique_ptr<component::Recordset> OpenRecordset(component::Connection&, const QString& sql) override {
        m_state.statements.append(sql);
        const auto rows = m_state.queryRows.value(sql);
        return std::make_unique<FakeRecordset>(rows.first, rows.second);
    }
    std::unique_ptr<component::UpdatableRecordset> OpenUpdatableRecordset(component::Connection&,
                                                                          const QString& sql) override {
        m_state.statements.append(sql);
        return std::make_unique<FakeRecordset>(QString(), QStringList());
    }
    std::unique_ptr<component::RowStream> OpenRowStream(component::Connection&, const QString& sql) override {
        m_state.statements.append(sql);
        return std::make_unique<FakeRowStream>();
    }
    std::unique_ptr<component::RewriteBatch> OpenRewriteBatch(component::Connection&, const QString&,
                                                              const QStringList&) override {
        return std::make_unique<FakeRewriteBatch>(m_state);
    }
    QString ResolveDataSource(const QString& name, const component::DataSourceList& sources) override {
        m_state.serviceCalls.append(QStringLiteral("ResolveDataSource(%1)").arg(name));
        for (const component::DataSource& source : sources)
            if (source.name == name) return source.text;
        return {};
    }
    void WriteEventLog(const QString& source, const QString& message, std::int32_t type) override {
        if (m_state.eventLogError) throw *m_state.eventLogError;
        m_state.events.append({source, message, type});
    }
    std::shared_ptr<component::SearchEngine> CreateEngine(const QString& d1, const QString& d2,
                                                          bool log) override {
        m_state.createEngineArgs = {d1, d2, log ? QStringLiteral("true") : QStringLiteral("false")};
        if (m_state.createEngineError) throw *m_state.createEngineError;
        return std::make_shared<FakeEngine>(m_state);
    }

private:
    FakeState& m_state;
};

class FakePropagator final : public component::IndexPropagator {
public:
    void SetPublishing(const component::PublishSettings&) override {}
    explicit FakePropagator(FakeState& state) : m_state(state) {}
    void SetStatusHandler(component::StatusHandler* handler) override { m_handler = handler; }
    bool Propagate(const QString& path, const QStringList& targets) override {
        const bool ok = m_state.propagate(m_handler, path, targets);
        m_failed = m_state.failedTargets.value_or(ok ? 0 : std::int32_t(targets.size()));
        return ok;
    }
    std::int32_t FailedTargets() const override { return m_failed; }
    QList<component::TargetBytes> BytesSent() const override { return m_state.bytesSent; }

private:
    FakeState& m_state;
    component::StatusHandler* m_handler = nullptr;
    std::int32_t m_failed = 0;
};

class FakeMetricsFile final : public component::MetricsFile {
public:
    explicit FakeMetricsFile(FakeState& state) : m_state(state) {}
    QByteArray Read(const QString& path) override { return m_state.metricsFiles.value(path); }
    void Write(const QString& path, const QByteArray& text) override {
        ++m_state.metricsWrites;
        if (m_state.onMetricsWrite) m_state.onMetricsWrite();
        if (m_state.metricsWriteError) throw *m_state.metricsWriteError;
        m_state.metricsFiles[path] = text;
    }

private:
    FakeState& m_state;
};
}  // namespace

void FakeConfiguration::LoadFromFile(const QString& path) {
    m_state.loadedPath = path;
    if (m_state.loadFromFileError) throw *m_state.loadFromFileError;
}

void FakeConfiguration::LoadIndex(const QString& name) {
    if (m_state.failingLoadIndex.contains(name))
        throw component::Error(component::errnum::kConfigNoIndex, kFakeSource,
                               QStringLiteral("cannot load ") + name);
    m_state.currentIndex = name;
}

component::IndexList FakeConfiguration::GetIndexList() const {
    return m_state.indexList;
}

QString FakeConfiguration::IndexName() const {
    m_state.reads.append(QStringLiteral("IndexName"));
    return m_state.currentIndex;
}

component::DataSourceList FakeConfiguration::DbDataSources() const {
    m_state.reads.append(QStringLiteral("DbDataSources"));
    return m_state.dataSources.value(m_state.currentIndex);
}

QString FakeConfiguration::MetricsDirectory() const {
    m_state.reads.append(QStringLiteral("MetricsDirectory"));
    return m_state.metricsDirectory;
}

component::IndexSettings FakeConfiguration::Settings() const {
    m_state.reads.append(QStringLiteral("Settings"));
    const QMap<QString, QString> properties = m_state.indexes.value(m_state.currentIndex);
    component::IndexSettings settings;
    settings.name = m_state.currentIndex;
    settings.path = properties.value(QStringLiteral("IndexPath"));
    settings.dataSource = properties.value(QStringLiteral("IndexDataSource"));
    settings.query = properties.value(QStringLiteral("IndexSetting1"));
    settings.storedColumns = properties.value(QStringLiteral("IndexSetting2"));
    settings.tokenizer = properties.value(QStringLiteral("IndexSetting3"));
    settings.prefix = properties.value(QStringLiteral("IndexSetting4"));
    settings.buildMode = m_state.buildMode.value(m_state.currentIndex);
    settings.verify = m_state.verify.value(m_state.currentIndex);
    settings.userNodeMethod = GetUserNodeMethod();
    settings.targets = m_state.propagations.value(m_state.currentIndex);
    return settings;
}

component::UserNodeMethod FakeConfiguration::GetUserNodeMethod() const {
    return m_state.indexes.value(m_state.currentIndex).value(QStringLiteral("UserNodeMethod")) ==
                   QStringLiteral("queries")
               ? component::UserNodeMethod::Queries
               : component::UserNodeMethod::Memory;
}

QString FakeConfiguration::Read(const QString& property) const {
    m_state.reads.append(property);
    return m_state.indexes.value(m_state.currentIndex).value(property);
}

void FakeConfiguration::Write(const QString& property, const QString& value) {
    if (m_state.writeError && m_state.writeErrorProperty == property) throw *m_state.writeError;
    m_state.writes.append(property + QLatin1Char('=') + value);
    m_state.indexes[m_state.currentIndex][property] = value;
}

void FakeBuilder::SetAborted(bool aborted) {
    if (aborted) ++m_state.abortRequests;
    m_aborted = aborted;
}

std::int32_t FakeBuilder::DocumentCount() const {
    return m_state.documentCount;
}

void FakeBuilder::Configure(component::StatusHandler* statusHandler, std::shared_ptr<component::SearchEngine>,
                            const component::IndexSettings& settings, const QString& connectionText) {
    handler = statusHandler;
    m_state.configuredHandler = statusHandler;
    m_state.settingsGiven = settings;
    m_state.connectionGiven = connectionText;
}

component::BuildReport FakeBuilder::LastBuild() const {
    return m_state.buildReport;
}

bool FakeBuilder::Build() {
    return m_state.build(*this);
}

std::shared_ptr<component::IndexConfiguration> FakeFactory::NewIndexConfiguration() {
    return std::make_shared<FakeConfiguration>(*m_state);
}
std::shared_ptr<component::IndexingServices> FakeFactory::NewIndexingServices() {
    return std::make_shared<FakeServices>(*m_state);
}
std::shared_ptr<component::IndexBuilder> FakeFactory::NewIndexBuilder() {
    ++m_state->buildersCreated;
    return std::make_shared<FakeBuilder>(*m_state);
}
std::shared_ptr<component::IndexPropagator> FakeFactory::NewIndexPropagator() {
    ++m_state->propagatorsCreated;
    return std::make_shared<FakePropagator>(*m_state);
}

std::shared_ptr<component::MetricsFile> FakeFactory::NewMetricsFile() {
    return std::make_shared<FakeMetricsFile>(*m_state);
}

std::shared_ptr<FakeState> InstallFakeComponent() {
    static const std::shared_ptr<FakeState> state = std::make_shared<FakeState>();
    *state = FakeState{};
    component::InstallFactory(std::make_shared<FakeFactory>(state));
    return state;
}

}  // namespace testsupport
