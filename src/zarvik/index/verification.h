// The checks a finished staging index must pass before it replaces the live index.
#pragma once

#include <QList>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "component/configuration.h"
#include "zarvik/index/documentcheck.h"

namespace zarvik::index {

// Runs every check, in order, on a closed staging file: the SQLite and FTS5 integrity
// checks, the number of rows against the documents read, <Verify><MinDocuments>,
// <Verify><MaxShrinkPercent> against the live index when there is one, and each
// <Verify><CheckQuery>. The first failing check ends the run with its refusal.
class IndexVerification {
public:
    enum class Outcome { kPassed, kRefused, kStopped };

    // keepGoing is called now and then while a check runs; when it returns false the
    // checks stop (a stopped build). liveDocuments is empty when there is no live index.
    IndexVerification(QString staging, std::int64_t documentsRead, std::optional<std::int64_t> liveDocuments,
                      component::VerifySettings verify, std::function<bool()> keepGoing);

    // A changes build: FTS5's integrity-check of the whole file when `fullCheck`, else
    // the documents it changed looked up one by one (CheckChangedDocuments) and
    // `skipped`, why the whole file was not checked, in index_info.
    void CheckChanges(ChangedDocuments changed, bool fullCheck, QString skipped);

    // Nothing raises: a file SQLite cannot open or read fails the integrity check.
    Outcome Run();
    // After kRefused: which check failed with its figures, ending with the sentence
    // that the live index was left in place.
    const QString& Refusal() const { return m_refusal; }
    // After kPassed: one (name, figures) pair per check, and "checks_seconds", for index_info.
    const QList<std::pair<QString, QString>>& Figures() const { return m_figures; }
    // Adds a figure the build measured, to be written with the others.
    void AddFigure(const QString& name, const QString& value) { m_figures.append({name, value}); }
    // Writes Figures into index_info of the staging file, in place of the check.* rows
    // it held (a changes build copies the live index's). Returns the empty text on
    // success, else SQLite's reason.
    QString Record() const;

    // "4,120": document counts in the messages are grouped in thousands.
    static QString Count(std::int64_t n);

private:
    class Db;
    Outcome Refuse(const QString& text);
    Outcome Damaged(const QString& what);
    // The checks in their order; each returns the outcome that ends the run, or none.
    std::optional<Outcome> CheckIntegrity(Db& db);
    std::optional<Outcome> CheckChanged(Db& db);
    std::optional<Outcome> CheckCount(Db& db, std::int64_t& rows);
    std::optional<Outcome> CheckMinimum(std::int64_t rows);
    std::optional<Outcome> CheckShrink(std::int64_t rows);
    std::optional<Outcome> CheckQueries(Db& db);

    QString m_staging;
    std::int64_t m_read;
    std::optional<std::int64_t> m_live;
    component::VerifySettings m_verify;
    std::function<bool()> m_keepGoing;
    std::optional<ChangedDocuments> m_changed;
    bool m_fullCheck = true;
    QString m_skipped;
    QString m_refusal;
    QList<std::pair<QString, QString>> m_figures;
};

}  // namespace zarvik::index
