// Reading IndexConfiguration.xml into a Document.
#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

#include "zarvik/config/configdocument.h"

namespace zarvik::config {

// Parses the bytes of the file at path. Raises component::Error (kConfigLoad) naming
// the file, line and column of what it cannot read.
std::shared_ptr<Document> ParseDocument(const QString& path, const QByteArray& bytes);
// Reads and parses the file. Raises component::Error (kConfigLoad) naming the file and
// the reason when it cannot be read.
std::shared_ptr<Document> ReadDocument(const QString& path);

}  // namespace zarvik::config
