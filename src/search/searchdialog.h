// The search window: tries a built index with the engine's query syntax, so an
// administrator can check that an index answers as it should.
#pragma once

#include "component/searchengine.h"

#include <QDialog>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace search {

class SearchDialog : public QDialog {
    Q_OBJECT

public:
    static constexpr int kPageSize = 20;

    SearchDialog(std::shared_ptr<component::SearchEngine> engine, const QString& indexName, QString indexPath,
                 QWidget* parent = nullptr);

    // The snippet as rich text: the marked terms bold, everything else escaped.
    static QString SnippetHtml(const QString& snippet);
    // bm25 is negative and smaller for better matches; the score shown grows with relevance.
    static double Score(double bm25) { return -bm25; }
    // The score as shown: a percentage of the best match's, so that scores of common
    // words (millionths) compare at a glance.
    static QString ScoreText(double score, double best);
    // What the window says of a query the engine refused: what to type instead, then
    // the engine's own message.
    static QString QueryErrorText(const QString& engineMessage);

private:
    // The steps of the constructor.
    void MakeControls();
    void MakeIndexChoice();
    void LayOut();
    void OnSearchClicked();
    // What the search runs on: the index folder (its live index) or a kept index file.
    QString SearchedPath() const;

    std::shared_ptr<component::SearchEngine> m_engine;
    QString m_indexPath;
    // The live index, and the previous and refused ones when they exist.
    QComboBox* m_indexChoice = nullptr;
    QLineEdit* m_query = nullptr;
    QPushButton* m_searchButton = nullptr;
    QLabel* m_matchesLabel = nullptr;
    QLabel* m_builtLabel = nullptr;
    QTableWidget* m_results = nullptr;
};

}  // namespace search
