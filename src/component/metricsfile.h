// The monitoring file of an index.
//
// Every operation may raise component::Error (number, source, description); the
// notes say when an operation raises in its normal use.
#pragma once

#include "component/error.h"

#include <QByteArray>
#include <QString>

namespace component {

// The monitoring file of an index: a text file that a collector reads while the
// program may be replacing it, so it is only ever replaced whole.
class MetricsFile {
public:
    virtual ~MetricsFile() = default;
    // The file's bytes; empty when it does not exist or cannot be read. Raises nothing.
    virtual QByteArray Read(const QString& path) = 0;
    // Replaces the file by one holding text, so that a reader sees the old or the new
    // file and never a part of one. Raises (errnum::kMetricsWrite, naming the file and
    // the reason) when it cannot; the old file then stays as it was.
    virtual void Write(const QString& path, const QByteArray& text) = 0;
};

}  // namespace component
