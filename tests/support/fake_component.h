// Scripted fakes of the component, for driving the dialog's and start-up's logic.
// They record what reaches them so tests can check order and arguments.
#pragma once

#include <QMap>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

#include "component/factory.h"

namespace testsupport {

struct FakeState;

class FakeConfiguration final : public component::IndexConfiguration {
public:
    explicit FakeConfiguration(FakeState& state) : m_state(state) {}
    void LoadFromFile(const QString& path) override;
    void LoadIndex(const QString& name) override;
    component::IndexList GetIndexList() const override;
    QString IndexName() const override;
    QString DbSetting1() const override { return Read(QStringLiteral("DbSetting1")); }
    QString DbSetting2() const override { return Read(QStringLiteral("DbSetting2")); }
    component::DataSourceList DbDataSources() const override;
    QString IndexPath() const override { return Read(QStringLiteral("IndexPath")); }
    QString IndexDataSource() const override { return Read(QStringLiteral("IndexDataSource")); }
    QString LastBuilt() const override { return Read(QStringLiteral("LastBuilt")); }
    QString NumDocuments() const override { return Read(QStringLiteral("NumDocuments")); }
    // The properties of the current index by their element names, with its
    // propagations, verify and buildMode; noted in reads as "Settings".
    component::IndexSettings Settings() const override;
    // From the property "UserNodeMethod" ("queries" or else memory); not noted in reads.
    component::UserNodeMethod GetUserNodeMethod() const override;
    void SetLastBuilt(const QString& value) override { Write(QStringLiteral("LastBuilt"), value); }
    void SetNumDocuments(const QString& value) override { Write(QStringLiteral("NumDocuments"), value); }
    QString MetricsDirectory() const override;

private:
    QString Read(const QString& property) const;
    void Write(const QString& property, const QString& value);
    FakeState& m_state;
};

class FakeBuilder final : public component::IndexBuilder {
public:
    explicit FakeBuilder(FakeState& state) : m_state(state) {}
    bool Aborted() const override { return m_aborted; }
    void SetAborted(bool aborted) override;
    std::int32_t DocumentCount() const override;
    void Configure(component::StatusHandler* statusHandler, std::shared_ptr<component::SearchEngine> engine,
                   const component::IndexSettings& settings, const QString& connectionText) override;
    component::BuildReport LastBuild() const override;
    bool Build() override;

    component::StatusHandler* handler = nullptr;

private:
    FakeState& m_state;
    bool m_aborted = false;
};

// Everything the fakes are scripted with and everything they saw.
struct FakeState {
    // Index configuration.
    component::IndexList indexList;
    QMap<QString, QMap<QString, QString>> indexes;         // name -> property -> value
    QMap<QString, component::DataSourceList> dataSources;  // name -> its data sources
    QMap<QString, QStringList> propagations;
    QMap<QString, component::VerifySettings> verify;  // name -> its <Verify>, defaults when missing
    QMap<QString, component::BuildModeSettings> buildMode;  // name -> its <BuildMode>, defaults when missing
    QString currentIndex;
    std::optional<component::Error> loadFromFileError;
    QStringList failingLoadIndex;                // names whose LoadIndex raises
    std::optional<component::Error> writeError;  // raised by SetLastBuilt/SetNumDocuments
    QString writeErrorProperty;                  // which property fails ("LastBuilt", ...)
    QStringList reads;                           // properties in the order read
    QStringList writes;                          // "LastBuilt=..." in order
    QString loadedPath;
    QString metricsDirectory;  // document-level, whatever index is current

    // Services.
    QMap<QString, QString> connectionStrings;  // data-source name -> text
    QStringList serviceCalls;                  // "GetConnectionString(Primary)", ...
    struct Event {
        QString source;
        QString message;
        std::int32_t type = 0;
    };
    QList<Event> events;
    std::optional<component::Error> eventLogError;
    std::optional<component::Error> createEngineError;
    std::optional<component::Error> openConnectionError;
    QMap<QString, std::pair<QString, QStringList>> queryRows;  // SQL -> (column, values)
    QStringList statements;                                    // SQL that reached the fake database
    std::int16_t engineMajor = 3;
    std::int16_t engineMinor = 40;
    std::int32_t engineBuild = 1;
    QStringList engineReads;  // the version properties, in the order read
    QStringList createEngineArgs;
    std::function<component::SearchResults(const QString&, const QString&, int, int)> search =
        [](const QString&, const QString&, int, int) -> component::SearchResults {
        throw component::Error(component::errnum::kIndexSearch, QStringLiteral("FakeComponent"),
                               QStringLiteral("no search scripted"));
    };

    // Builder.
    int buildersCreated = 0;
    std::optional<component::IndexSettings> settingsGiven;  // what Configure received
    QString connectionGiven;
    component::BuildReport buildReport;                          // what LastBuild returns
    QList<component::TargetBytes> bytesSent;                     // what the propagator's BytesSent returns
    component::StatusHandler* configuredHandler = nullptr;
    std::function<bool(FakeBuilder&)> build = [](FakeBuilder&) { return true; };
    std::int32_t documentCount = 42;
    int abortRequests = 0;
    bool sawIndexingDuringBuild = false;

    // Propagator.
    int propagatorsCreated = 0;
    std::function<bool(component::StatusHandler*, const QString&, const QStringList&)> propagate =
        [](component::StatusHandler*, const QString&, const QStringList&) { return true; };
    // What FailedTargets answers; unset: 0 after success, every target after failure.
    std::optional<std::int32_t> failedTargets;

    // Monitoring files: path -> bytes, as written; Read answers from the same map.
    QMap<QString, QByteArray> metricsFiles;
    std::optional<component::Error> metricsWriteError;
    int metricsWrites = 0;
    std::function<void()> onMetricsWrite;  // called as each write begins
};

class FakeFactory final : public component::ComponentFactory {
public:
    explicit FakeFactory(std::shared_ptr<FakeState> state) : m_state(std::move(state)) {}
    std::shared_ptr<component::IndexConfiguration> NewIndexConfiguration() override;
    std::shared_ptr<component::IndexingServices> NewIndexingServices() override;
    std::shared_ptr<component::IndexBuilder> NewIndexBuilder() override;
    std::shared_ptr<component::IndexPropagator> NewIndexPropagator() override;
    std::shared_ptr<component::MetricsFile> NewMetricsFile() override;

private:
    std::shared_ptr<FakeState> m_state;
};

// The fake factory installed, with a state reset to its defaults. The state object
// is the same for the whole test binary, since the error report keeps the services
// object it made first for the rest of the run.
std::shared_ptr<FakeState> InstallFakeComponent();

}  // namespace testsupport
