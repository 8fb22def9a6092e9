// The two kinds of data object: the whole index file and the pack of the pages that
// differ from the previous version's file, both zstd streams.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

namespace zarvik::store {

// The SHA-256 of everything in file from its start. `name` is for messages.
// Raises component::Error (errnum::kPropagation) when it cannot be read.
QByteArray Sha256Of(QFile& file, const QString& name);

// What a compressed object came to: its size and the SHA-256 of its bytes.
struct Written {
    qint64 size = 0;
    QByteArray sha256;
};

// Compresses `source` into `out`. Raises component::Error naming the file that could
// not be read or written.
Written WriteWhole(QFile& source, QFile& out);
// Writes the pack that turns `base` into `source`: every page of `source` that is not
// byte for byte the same page of `base`. Raises like WriteWhole.
Written WritePack(QFile& base, QFile& source, int pageSize, QFile& out);

// Decompresses the whole file `object` (named `name`) into `working`, which must hold
// exactly fileSize bytes afterwards. Raises component::Error naming the object when
// the stream is damaged, truncated or of another size.
void ApplyWhole(QFile& object, const QString& name, qint64 fileSize, QFile& working);
// Applies the pack `object` to `working` (the base version's file), which then holds
// fileSize bytes. Raises like ApplyWhole, also when a page lies outside the file or
// the pack was made for another page or file size.
void ApplyPack(QFile& object, const QString& name, int pageSize, qint64 fileSize, QFile& working);

}  // namespace zarvik::store
