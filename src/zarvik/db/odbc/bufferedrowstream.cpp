// A row stream over a result read whole first.
#include "zarvik/db/odbc/odbcbackend.h"

namespace zarvik::db {
namespace {

// The whole result read first, then handed out row by row.
class BufferedRowStream final : public component::RowStream {
public:
    explicit BufferedRowStream(std::unique_ptr<component::Recordset> result) {
        if (!(result->IsBOF() && result->IsEOF())) m_byColumn = result->GetRows();
        m_rows = m_byColumn.isEmpty() ? 0 : m_byColumn.first().size();
    }

    bool Next(QVariantList& row) override {
        if (m_position >= m_rows) return false;
        row.resize(m_byColumn.size());
        for (qsizetype c = 0; c < m_byColumn.size(); ++c) row[c] = m_byColumn[c][m_position];
        ++m_position;
        return true;
    }

private:
    QList<QVariantList> m_byColumn;
    qsizetype m_rows = 0;
    qsizetype m_position = 0;
};

}  // namespace

std::unique_ptr<component::RowStream> NewBufferedRowStream(std::unique_ptr<component::Recordset> result) {
    return std::make_unique<BufferedRowStream>(std::move(result));
}

}  // namespace zarvik::db
