// The search window.
#include "search/searchdialog.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QVBoxLayout>
#include <utility>

#include "platform/messagebox.h"

namespace search {

SearchDialog::SearchDialog(std::shared_ptr<component::SearchEngine> engine, const QString& indexName,
                           QString indexPath, QWidget* parent)
    : QDialog(parent), m_engine(std::move(engine)), m_indexPath(std::move(indexPath)) {
    setObjectName(QStringLiteral("SearchDialog"));
    setWindowTitle(QStringLiteral("Search Index - ") + indexName);
    setModal(true);

    MakeControls();
    MakeIndexChoice();
    LayOut();
    connect(m_searchButton, &QPushButton::clicked, this, &SearchDialog::OnSearchClicked);
    connect(m_query, &QLineEdit::returnPressed, this, &SearchDialog::OnSearchClicked);
    // Results of one index never stand under the name of another.
    connect(m_indexChoice, &QComboBox::currentIndexChanged, this, [this] {
        m_results->clearContents();
        m_results->setRowCount(0);
        m_builtLabel->clear();
        m_matchesLabel->setText(QStringLiteral("Index: ") + SearchedPath());
    });
}

void SearchDialog::MakeControls() {
    m_query = new QLineEdit(this);
    m_query->setObjectName(QStringLiteral("QueryEdit"));
    m_query->setPlaceholderText(QStringLiteral("words, \"a phrase\", title:word, prefix*, a AND b, NEAR(a b)"));
    m_searchButton = new QPushButton(QStringLiteral("Search"), this);
    m_searchButton->setObjectName(QStringLiteral("SearchButton"));
    m_searchButton->setDefault(true);
    m_matchesLabel = new QLabel(QStringLiteral("Index: ") + m_indexPath, this);
    m_matchesLabel->setObjectName(QStringLiteral("MatchesLabel"));
    m_matchesLabel->setWordWrap(true);
    m_matchesLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // How the searched index was built, once a search has opened it.
    m_builtLabel = new QLabel(this);
    m_builtLabel->setObjectName(QStringLiteral("lblBuilt"));
    m_builtLabel->setWordWrap(true);
    m_results = new QTableWidget(this);
    m_results->setObjectName(QStringLiteral("ResultsTable"));
    m_results->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_results->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_results->verticalHeader()->setVisible(false);
    m_results->horizontalHeader()->setStretchLastSection(true);
}

void SearchDialog::MakeIndexChoice() {
    // The kept indexes let the administrator compare what a refused build would have
    // served, or what the index answered before the last build.
    m_indexChoice = new QComboBox(this);
    m_indexChoice->setObjectName(QStringLiteral("IndexChoice"));
    m_indexChoice->addItem(QStringLiteral("Live index (index.db)"), QString());
    const QDir folder(m_indexPath);
    const std::pair<const char*, const char*> kept[] = {
        {"Previous index (index.previous.db)", "index.previous.db"},
        {"Refused index (index.rejected.db)", "index.rejected.db"},
    };
    for (const auto& [label, file] : kept) {
        const QString path = folder.filePath(QString::fromLatin1(file));
        if (QFileInfo(path).isFile()) m_indexChoice->addItem(QString::fromLatin1(label), path);
    }
    m_indexChoice->setEnabled(m_indexChoice->count() > 1);
}

void SearchDialog::LayOut() {
    auto* queryRow = new QHBoxLayout;
    queryRow->addWidget(m_query, 1);
    queryRow->addWidget(m_indexChoice);
    queryRow->addWidget(m_searchButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(queryRow);
    layout->addWidget(m_matchesLabel);
    layout->addWidget(m_builtLabel);
    layout->addWidget(m_results, 1);

    // Tall enough for a full page of results, its header and a horizontal scroll bar,
    // without a vertical scroll bar.
    // The header has no columns yet and may grow by a pixel or two once it has; half
    // a row to spare covers that.
    const int frame = 2 * m_results->frameWidth() + m_results->verticalHeader()->defaultSectionSize() / 2;
    const int tableHeight = m_results->horizontalHeader()->sizeHint().height() +
                            kPageSize * m_results->verticalHeader()->defaultSectionSize() +
                            m_results->horizontalScrollBar()->sizeHint().height() + frame;
    m_results->setMinimumHeight(tableHeight);
    resize(qMax(760, sizeHint().width()), sizeHint().height());
    m_results->setMinimumHeight(0);
}

QString SearchDialog::SnippetHtml(const QString& snippet) {
    QString html;
    QString plain;
    const auto flush = [&] {
        html += plain.toHtmlEscaped();
        plain.clear();
    };
    for (const QChar c : snippet) {
        if (c == component::kMatchStart) {
            flush();
            html += QStringLiteral("<b>");
        } else if (c == component::kMatchEnd) {
            flush();
            html += QStringLiteral("</b>");
        } else {
            plain += c;
        }
    }
    flush();
    return html;
}

QString SearchDialog::ScoreText(double score, double best) {
    if (best <= 0) return QString::number(score, 'g', 3);
    return QString::number(100.0 * score / best, 'f', 1);
}

QString SearchDialog::QueryErrorText(const QString& engineMessage) {
    struct Advice {
        const char* sign;
        const char* sentence;
    };
    static const Advice kAdvice[] = {
        {"unknown special query", "A * marks the end of a prefix: write it after a word, as in river*."},
        {"unterminated string", "Every double quote needs its closing one, as in \"a phrase\"."},
        {"no such column", "A word before a colon must be a column of the index, as in TITLE:river."},
        {"syntax error", "Put words that hold punctuation in double quotes (\"e-mail\"), close every quote "
                         "and bracket, and write AND, OR and NOT in capitals between two words."},
    };
    for (const Advice& advice : kAdvice) {
        if (engineMessage.contains(QLatin1String(advice.sign)))
            return QString::fromUtf8(advice.sentence) + QStringLiteral("\n") + engineMessage;
    }
    return engineMessage;
}

QString SearchDialog::SearchedPath() const {
    const QString kept = m_indexChoice->currentData().toString();
    return kept.isEmpty() ? m_indexPath : kept;
}

void SearchDialog::OnSearchClicked() {
    m_results->clearContents();
    m_results->setRowCount(0);
    const QString query = m_query->text().trimmed();
    if (query.isEmpty()) {
        m_matchesLabel->setText(QStringLiteral("Type a query first."));
        return;
    }
    component::SearchResults results;
    try {
        results = m_engine->Search(SearchedPath(), query, 0, kPageSize);
    } catch (const component::Error& e) {
        m_matchesLabel->setText(QueryErrorText(e.Description()));
        return;
    }

    m_builtLabel->setText(results.howBuilt);
    m_matchesLabel->setText(results.total == 1 ? QStringLiteral("1 match")
                                             : QStringLiteral("%1 matches").arg(results.total) +
                                                   (results.total > kPageSize
                                                        ? QStringLiteral(", the first %1 shown").arg(kPageSize)
                                                        : QString()));
    QStringList headers = {QStringLiteral("Score"), QStringLiteral("Key")};
    const bool hasTitle = !results.titleColumn.isEmpty();
    if (hasTitle) headers.append(results.titleColumn);
    headers += results.storedColumns;
    headers.append(QStringLiteral("Snippet"));
    m_results->setColumnCount(static_cast<int>(headers.size()));
    m_results->setHorizontalHeaderLabels(headers);
    m_results->setRowCount(static_cast<int>(results.hits.size()));
    // The best match's score is the first, whatever the index's scale.
    const double best = results.hits.isEmpty() ? 0 : Score(results.hits.first().rank);
    for (int row = 0; row < results.hits.size(); ++row) {
        const component::SearchHit& hit = results.hits.at(row);
        int column = 0;
        auto* score = new QTableWidgetItem(ScoreText(Score(hit.rank), best));
        score->setData(Qt::UserRole, Score(hit.rank));
        score->setToolTip(QStringLiteral("bm25: %1").arg(hit.rank, 0, 'g', 6));
        score->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        m_results->setItem(row, column++, score);
        m_results->setItem(row, column++, new QTableWidgetItem(hit.key));
        if (hasTitle) m_results->setItem(row, column++, new QTableWidgetItem(hit.title));
        for (const QString& value : hit.stored) m_results->setItem(row, column++, new QTableWidgetItem(value));
        auto* snippet = new QLabel(SnippetHtml(hit.snippet));
        snippet->setTextFormat(Qt::RichText);
        snippet->setObjectName(QStringLiteral("Snippet%1").arg(row));
        // A snippet wider than the window is cut at its edge: the whole passage is
        // one hover away.
        snippet->setToolTip(QStringLiteral("<p>") + SnippetHtml(hit.snippet) + QStringLiteral("</p>"));
        m_results->setCellWidget(row, column, snippet);
    }
    m_results->resizeColumnsToContents();
}

}  // namespace search
