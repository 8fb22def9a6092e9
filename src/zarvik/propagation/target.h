// A propagation target: one place a finished index is copied to. Each kind (a local
// folder, a folder reached through ssh, ...) is a class of its own behind Target,
// made from the target text by ReadTarget; the propagator knows no kind.
#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <optional>

#include "component/propagator.h"
#include "zarvik/propagation/indexsource.h"

namespace zarvik::propagation {

// How far one target's copy has gone: its copy's thread adds, the propagating
// thread reads for the status line and the metrics.
struct CopyProgress {
    std::atomic<qint64> bytes{0};  // of the index's bytes, how many are done
    std::atomic<qint64> sent{0};   // what reached the target: over a link, else the bytes written
    // Written by the copy's thread, read once it has ended: what a store target
    // published, and what went wrong but did not fail the copy.
    std::optional<component::PublishedVersion> published;
    QStringList warnings;
};

class Target {
public:
    explicit Target(const QString& text) : m_text(text) {}
    virtual ~Target() = default;
    // The text as the configuration gave it.
    const QString& Text() const { return m_text; }
    // The target as messages name it: one printable line.
    virtual QString Describe() const = 0;
    // Two targets of one place have equal keys; the second is skipped, since two
    // copies would race for one file.
    virtual QString Place() const = 0;
    // Why this target cannot take the index of `source`; empty when it can. Called
    // on the propagating thread before any copy starts, so a kind may ask the source
    // here for what its copies will need (IndexSource::ReadFactsAhead).
    virtual QString Check(IndexSource& source) = 0;
    // Copies the index and checks the copy, in the kind's own way, before it takes
    // the place of what the target held. Runs on a thread of its own beside other
    // targets' copies. Returns the empty text, else why it failed; raises nothing.
    virtual QString Copy(const IndexSource& source, CopyProgress& progress) = 0;

private:
    const QString m_text;
};

// Reads one target text into a target of its kind, chosen by the text's beginning
// ("ssh://" or "store:" in any case; a text that names no kind is a local folder). Returns null and sets
// *why (a sentence naming the text) when the text is refused; raises nothing.
std::unique_ptr<Target> ReadTarget(const QString& text, QString* why);

// Why a target text was refused, naming it printably.
QString RefuseTarget(const QString& text, const QString& why);

// The text with its control characters written as \n, \r, \t or \xHH, for messages:
// a line break in a target text must not start a line of its own in the event log.
QString PrintableTargetText(const QString& text);

}  // namespace zarvik::propagation
