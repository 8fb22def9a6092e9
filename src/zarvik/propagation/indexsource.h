// IndexSource: the index being propagated, as every target's copy sees it: its
// files, and their size and SHA-256 read once for the kinds that check against them.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <future>
#include <map>
#include <memory>
#include <mutex>

#include "component/configuration.h"
#include "zarvik/propagation/copychecks.h"
#include "zarvik/store/publishrun.h"

namespace zarvik::propagation {

// One source file as read here: what a copy elsewhere is compared with.
struct SourceFacts {
    qint64 size = 0;
    QByteArray digest;
    QString why;  // empty, or why the file cannot be read or fails quick_check
};
using FactsOfFiles = std::map<QString, SourceFacts>;

class IndexSource {
public:
    // Lists the index files of the folder settings.path (not the build's lock,
    // staging file, kept previous or refused index, or a reader's journal). Raises
    // nothing.
    explicit IndexSource(const component::IndexSettings& settings);

    // The settings of the index, for a kind that reads more than its target text.
    const component::IndexSettings& Settings() const { return m_settings; }
    const QDir& Folder() const { return m_folder; }
    const SourceFiles& Files() const { return m_files; }
    // Whether index.db is among the files.
    bool HasIndex() const { return m_hasIndex; }

    // Starts reading every file's facts on a thread of its own, once however often
    // it is called; call it on the propagating thread before the copies start.
    void ReadFactsAhead();
    // The facts, waiting for them; ReadFactsAhead must have been called.
    const FactsOfFiles& Facts() const { return m_facts.get(); }
    // The temporary files and the shared work of this run's store targets, made by
    // the first that asks. Raises component::Error when its folder cannot be made.
    store::PublishRun& Publishing() const;

private:
    const component::IndexSettings m_settings;
    QDir m_folder;
    SourceFiles m_files;
    bool m_hasIndex = false;
    std::shared_future<FactsOfFiles> m_facts;
    mutable std::mutex m_publishingMutex;
    mutable std::unique_ptr<store::PublishRun> m_publishing;
};

}  // namespace zarvik::propagation
