// IndexBuilder: builds one SQLite FTS5 index from a document query.
#pragma once

#include <functional>

#include "component/statushandler.h"
#include "component/configuration.h"
#include "component/searchengine.h"
#include "component/indexbuilder.h"

namespace zarvik::index {

// Builds "index.db" in the index folder. The documents come from the document query
// (IndexSetting1: the first column is the key, every other column is text), through
// the resolved data source when there is one, else through the connection. The
// other settings: IndexSetting2 the columns stored but not searched (comma-
// separated), IndexSetting3 the FTS5 tokenizer, IndexSetting4 the prefix lengths.
class Fts5IndexBuilder final : public component::IndexBuilder {
public:
    bool Aborted() const override { return m_aborted; }
    void SetAborted(bool aborted) override { m_aborted = aborted; }
    // After a successful build: the documents of the new index. After an aborted or
    // failed one: the documents of the index that stayed in place (0 when none).
    std::int32_t DocumentCount() const override { return m_documentCount; }
    void Configure(component::StatusHandler* statusHandler, std::shared_ptr<component::SearchEngine> engine,
                   const QString& indexName, const QString& indexPath, const QString& resolvedSource,
                   const QString& connection, const QString& indexSetting3, const QString& indexSetting2,
                   const QString& indexSetting4, const QString& indexSetting1) override;
    void SetVerify(const component::VerifySettings& verify) override { m_verify = verify; }
    void SetBuildMode(const component::BuildModeSettings& settings) override { m_buildMode = settings; }
    component::BuildReport LastBuild() const override { return m_lastBuild; }
    // Fills "index.db.staging", checks it (see IndexVerification) and only then puts it in
    // place of "index.db", keeping the replaced index as "index.previous.db". A file
    // that fails a check is kept as "index.rejected.db" and the live index stays.
    // Raises component::Error: kIndexLocked when another build of the same index
    // runs; kDatabase when the documents cannot be read; kIndexBuild when the index
    // cannot be written or SQLite rejects a setting (with SQLite's message);
    // kIndexRefused when the new index fails a check (which one, with its figures).
    bool Build() override;

    // Called with the path of each finished staging file before it is checked, so
    // that tests can damage it. An empty function removes the hook.
    static void SetStagingHookForTests(std::function<void(const QString&)> hook);

private:
    class Run;
    struct Files;

    // The steps of Build after the staging file is filled.
    bool CheckStaging(Run& run, const Files& files, QString& refusal, QString& figures);
    static void PutInPlace(const Files& files);
    [[noreturn]] void ReportFailure(Run& run, const Files& files);
    bool ReportAbort(Run& run, const Files& files);
    [[noreturn]] void ReportRefusal(Run& run, const Files& files, const QString& refusal);

    component::StatusHandler* m_statusHandler = nullptr;
    std::shared_ptr<component::SearchEngine> m_engine;
    QString m_indexName;
    QString m_indexPath;
    QString m_connectionText;
    QString m_tokenizer;
    QString m_storedColumns;
    QString m_prefix;
    QString m_query;
    component::VerifySettings m_verify;
    component::BuildModeSettings m_buildMode;
    component::BuildReport m_lastBuild;
    bool m_aborted = false;
    std::int32_t m_documentCount = 0;
};

}  // namespace zarvik::index
