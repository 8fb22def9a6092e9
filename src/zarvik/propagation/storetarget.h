// StoreTarget: an object store that readers pull from, store:REMOTE:PATH (a remote of
// the running user's rclone configuration) or store:/absolute/folder.
#pragma once

#include <QString>
#include <memory>

#include "zarvik/propagation/target.h"

namespace zarvik::propagation {

class StoreTarget final : public Target {
public:
    // Refuses a text that names no store rclone can reach or that rclone would read
    // as an option.
    static std::unique_ptr<Target> Read(const QString& text, QString* why);

    explicit StoreTarget(const QString& text) : Target(text) {}
    QString Describe() const override { return PrintableTargetText(Text()); }
    QString Place() const override { return Text().mid(6); }
    // Refuses a store folder inside the index folder.
    QString Check(IndexSource& source) override;
    // Publishes index.db as the store's next version: a pack of the pages that differ
    // from index.previous.db when that is the version `current` names, else the
    // whole file. Sent bytes and objects are what was uploaded.
    QString Copy(const IndexSource& source, CopyProgress& progress) override;
};

}  // namespace zarvik::propagation
