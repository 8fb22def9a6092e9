// IndexConfiguration over IndexConfiguration.xml.
#pragma once

#include <memory>

#include "component/configuration.h"

namespace zarvik::config {

// The configuration file and its current index. Relative paths of the file (IndexPath,
// the propagation targets and the Database= file of an SQLite connection text) are
// taken against the folder that holds the file and delivered absolute.
//
// Errors raised (source "ZarvikIndexing.IndexConfiguration"):
// - LoadFromFile: errnum::kConfigLoad when the file cannot be read (the description
//   names the file and the reason) or is malformed ("<file>(line,column): reason").
//   A failed load keeps what was loaded before.
// - LoadIndex: errnum::kConfigNoIndex when no index has that name; errnum::kConfigLoad
//   when a value of its <Verify> cannot be read (the description names the element
//   and the value), or when its <UserNodeMethod> is neither "memory" nor "queries"
//   (nor empty), or when its <BuildMode> is neither "full" nor "changes" or its
//   <MaxChangedPercent> is not a whole number from 0 to 100 (both may be empty); the
//   description then names the element and the value, and the current index stays
//   as it was.
// - SetLastBuilt/SetNumDocuments: errnum::kConfigNoIndex when no index is current;
//   errnum::kConfigSave when the file cannot be saved (the file and the value in
//   memory then stay as they were).
class XmlIndexConfiguration final : public component::IndexConfiguration {
public:
    XmlIndexConfiguration();
    ~XmlIndexConfiguration() override;

    void LoadFromFile(const QString& path) override;
    // Exact, case-sensitive; the first index of that name.
    void LoadIndex(const QString& name) override;
    component::IndexList GetIndexList() const override;
    QString IndexName() const override;
    QString DbSetting1() const override;
    QString DbSetting2() const override;
    component::DataSourceList DbDataSources() const override;
    QString IndexPath() const override;
    QString IndexDataSource() const override;
    QString LastBuilt() const override;
    QString NumDocuments() const override;
    // Raises kConfigLoad as LoadIndex does, should the file have changed meanwhile.
    component::IndexSettings Settings() const override;
    component::UserNodeMethod GetUserNodeMethod() const override;
    // Each write saves the file at once, atomically, changing nothing in it but the
    // element's text (or adding the element when it is missing).
    void SetLastBuilt(const QString& value) override;
    void SetNumDocuments(const QString& value) override;
    // <MetricsDirectory> of the root element, taken against the file's folder.
    QString MetricsDirectory() const override;

    struct Document;

private:
    // The text of the element in row `row` of kTextElements (TextElementRow) in the
    // current index.
    QString Value(int row) const;
    void Write(int field, const QString& value);

    std::shared_ptr<const Document> m_document;
    qsizetype m_current = -1;
};

}  // namespace zarvik::config
