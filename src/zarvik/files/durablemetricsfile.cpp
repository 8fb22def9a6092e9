// The monitoring file of an index.
#include "zarvik/files/durablemetricsfile.h"

#include <QFile>
#include <QFileInfo>

#include "zarvik/files/durablefile.h"

namespace zarvik::files {

namespace {
const QString kSource = QStringLiteral("ZarvikIndexing.MetricsFile");
}  // namespace

QByteArray DurableMetricsFile::Read(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    // The file is a few hundred bytes; anything much larger is not ours.
    return file.read(1 << 20);
}

void DurableMetricsFile::Write(const QString& path, const QByteArray& text) {
    const QFileInfo folder(QFileInfo(path).absolutePath());
    QString why;
    if (!folder.exists()) {
        why = QStringLiteral("the folder %1 does not exist").arg(folder.absoluteFilePath());
    } else if (!folder.isDir()) {
        why = QStringLiteral("%1 is not a folder").arg(folder.absoluteFilePath());
    } else {
        // A collector reads every "*.prom" file of the folder; the temporary file's
        // name ends in its marker and a number, so it is never taken for one.
        why = ReplaceFileDurably(path, text);
    }
    if (!why.isEmpty()) {
        throw component::Error(component::errnum::kMetricsWrite, kSource,
                               QStringLiteral("Unable to write the metrics file %1: %2").arg(path, why));
    }
}

}  // namespace zarvik::files
