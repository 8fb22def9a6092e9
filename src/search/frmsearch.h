// The search window: tries a built index with the engine's query syntax, so an
// administrator can check that an index answers as it should.
#pragma once

#include "component/interfaces.h"

#include <QDialog>
#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

class frmSearch : public QDialog {
    Q_OBJECT

public:
    static constexpr int kPageSize = 20;

    frmSearch(std::shared_ptr<component::SearchEngine> engine, QString indexName, QString indexPath,
              QWidget* parent = nullptr);

    // The snippet as rich text: the marked terms bold, everything else escaped.
    static QString SnippetHtml(const QString& snippet);

private:
    void cmdSearch_Click();

    std::shared_ptr<component::SearchEngine> m_engine;
    QString m_indexPath;
    QLineEdit* m_query = nullptr;
    QPushButton* m_cmdSearch = nullptr;
    QLabel* m_lblMatches = nullptr;
    QTableWidget* m_results = nullptr;
};
