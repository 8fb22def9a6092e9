// IndexBuilder: builds one SQLite FTS5 index from a document query.
#pragma once

#include "component/interfaces.h"

namespace zarvik {

class Fts5IndexBuilder final : public component::IndexBuilder {
public:
    bool Aborted() const override { return m_aborted; }
    void SetAborted(bool aborted) override { m_aborted = aborted; }
    std::int32_t DocumentCount() const override { return m_documentCount; }
    void Configure(component::IStatusHandler* statusHandler, std::shared_ptr<component::SearchEngine> engine,
                   const QString& indexName, const QString& indexPath, const QString& resolvedSource,
                   const QString& connection, const QString& indexSetting3, const QString& indexSetting2,
                   const QString& indexSetting4, const QString& indexSetting1) override;
    bool Build() override;

private:
    bool m_aborted = false;
    std::int32_t m_documentCount = 0;
};

}  // namespace zarvik
