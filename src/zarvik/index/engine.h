// The SearchEngine: SQLite FTS5.
#pragma once

#include <memory>

#include "component/searchengine.h"

namespace zarvik::index {

// The engine the program creates once at start-up. The index builder takes it back
// (dynamic_cast) for the folders and the /log switch it was created with.
class Fts5Engine final : public component::SearchEngine {
public:
    Fts5Engine(QString programDir, QString dataDir, bool log);

    // The version of the SQLite library in use: 3.40.1 gives 3, 40 and 1.
    std::int16_t MajorVersion() const override;
    std::int16_t MinorVersion() const override;
    std::int32_t BuildNumber() const override;
    component::SearchResults Search(const QString& indexPath, const QString& query, int first,
                                    int count) const override;

    const QString& ProgramDir() const { return m_programDir; }
    const QString& DataDir() const { return m_dataDir; }
    bool LogEnabled() const { return m_log; }
    // The build log "indexlog.dat" in the program's directory.
    QString LogFilePath() const;

private:
    QString m_programDir;
    QString m_dataDir;
    bool m_log;
};

// Raises component::Error (errnum::kIndexBuild) when the SQLite library in use has no
// FTS5 engine.
std::shared_ptr<component::SearchEngine> NewEngine(const QString& programDir, const QString& dataDir,
                                                   bool log);

}  // namespace zarvik::index
