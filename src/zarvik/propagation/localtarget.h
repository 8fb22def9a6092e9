// LocalTarget: a folder of this machine, any target text that names no other kind.
#pragma once

#include <QString>
#include <memory>

#include "zarvik/propagation/target.h"

namespace zarvik::propagation {

class LocalTarget final : public Target {
public:
    // The text names a folder, made absolute against the working folder; a blank
    // text is refused.
    static std::unique_ptr<Target> Read(const QString& text, QString* why);

    LocalTarget(const QString& text, const QString& folder) : Target(text), m_folder(folder) {}
    QString Describe() const override { return PrintableTargetText(m_folder); }
    QString Place() const override { return m_folder; }
    // Refuses the index folder itself.
    QString Check(IndexSource& source) override;
    // Copies every file into the folder, making it when it is missing; each file is
    // verified (size, SHA-256, quick_check) before it replaces the old one.
    QString Copy(const IndexSource& source, CopyProgress& progress) override;

private:
    const QString m_folder;
};

}  // namespace zarvik::propagation
