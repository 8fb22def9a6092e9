// IndexBuilder: builds one SQLite FTS5 index from a document query.
#pragma once

#include <functional>

#include "component/statushandler.h"
#include "component/configuration.h"
#include "component/searchengine.h"
#include "component/indexbuilder.h"

namespace zarvik::index {

// Builds "index.db" in the index folder from the settings' document query, through
// the connection text (component::IndexSettings says what each setting holds).
class Fts5IndexBuilder final : public component::IndexBuilder {
public:
    bool Aborted() const override { return m_aborted; }
    void SetAborted(bool aborted) override { m_aborted = aborted; }
    // After a successful build: the documents of the new index. After an aborted or
    // failed one: the documents of the index that stayed in place (0 when none).
    std::int32_t DocumentCount() const override { return m_documentCount; }
    void Configure(component::StatusHandler* statusHandler, std::shared_ptr<component::SearchEngine> engine,
                   const component::IndexSettings& settings, const QString& connectionText) override;
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
    // recordHash: keeps the new index's SHA-256 beside it, for the next changes build.
    static void PutInPlace(const Files& files, bool recordHash);
    [[noreturn]] void ReportFailure(Run& run, const Files& files);
    bool ReportAbort(Run& run, const Files& files);
    [[noreturn]] void ReportRefusal(Run& run, const Files& files, const QString& refusal);

    component::StatusHandler* m_statusHandler = nullptr;
    std::shared_ptr<component::SearchEngine> m_engine;
    component::IndexSettings m_settings;
    QString m_connectionText;
    component::BuildReport m_lastBuild;
    bool m_aborted = false;
    std::int32_t m_documentCount = 0;
};

}  // namespace zarvik::index
