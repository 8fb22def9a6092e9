// Whole files and page packs through zstd's streaming calls, so that neither the index
// nor an object is ever held in memory at once. SHA-256 is libcrypto's, which uses the
// processor's SHA instructions where it has them: Qt's own is portable C, and hashing
// the index file and its base with it took most of a publish's time.
#include "zarvik/store/pages.h"

#include <zstd.h>

#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "zarvik/files/sha256.h"
#include "zarvik/store/manifest.h"

namespace zarvik::store {
namespace {

constexpr char kPackMagic[8] = {'L', 'U', 'M', 'P', 'A', 'C', 'K', '1'};
constexpr int kLevel = 3;

void ReadFully(QFile& file, char* data, qint64 size, const QString& name) {
    qint64 done = 0;
    while (done < size) {
        const qint64 n = file.read(data + done, size - done);
        if (n <= 0)
            Refuse(name, QStringLiteral("cannot read: %1").arg(n < 0 ? file.errorString() : "short file"));
        done += n;
    }
}

using files::Sha256;

// Compresses what is written to it into a file.
class Compressor {
public:
    explicit Compressor(QFile& out) : m_out(out), m_cctx(ZSTD_createCCtx(), ZSTD_freeCCtx) {
        ZSTD_CCtx_setParameter(m_cctx.get(), ZSTD_c_compressionLevel, kLevel);
        m_buffer.resize(ZSTD_CStreamOutSize());
    }
    void Write(const char* data, size_t size) { Run(data, size, ZSTD_e_continue); }
    Written Finish() {
        Run(nullptr, 0, ZSTD_e_end);
        if (!m_out.flush()) Refuse(m_out.fileName(), m_out.errorString());
        return {m_written, m_hash.Result()};
    }

private:
    void Run(const char* data, size_t size, ZSTD_EndDirective mode) {
        ZSTD_inBuffer in = {data, size, 0};
        for (;;) {
            ZSTD_outBuffer out = {m_buffer.data(), m_buffer.size(), 0};
            const size_t left = ZSTD_compressStream2(m_cctx.get(), &out, &in, mode);
            if (ZSTD_isError(left)) Refuse(m_out.fileName(), QString::fromLatin1(ZSTD_getErrorName(left)));
            if (m_out.write(m_buffer.data(), qint64(out.pos)) != qint64(out.pos))
                Refuse(m_out.fileName(), m_out.errorString());
            m_hash.Add(QByteArrayView(m_buffer.data(), qsizetype(out.pos)));
            m_written += qint64(out.pos);
            if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size) return;
        }
    }
    QFile& m_out;
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> m_cctx;
    std::vector<char> m_buffer;
    Sha256 m_hash;
    qint64 m_written = 0;
};

// Reads the decompressed bytes of an object; a damaged or cut stream is refused.
class Decompressor {
public:
    Decompressor(QFile& in, QString name)
        : m_in(in), m_name(std::move(name)), m_dctx(ZSTD_createDCtx(), ZSTD_freeDCtx) {
        m_input.resize(ZSTD_DStreamInSize());
    }
    // Fills data with up to size bytes; returns how many, 0 only at the stream's end.
    size_t Read(char* data, size_t size) {
        ZSTD_outBuffer out = {data, size, 0};
        while (out.pos < out.size) {
            if (m_in_buffer.pos == m_in_buffer.size) {
                const qint64 n = m_in.read(m_input.data(), qint64(m_input.size()));
                if (n < 0) Refuse(m_name, m_in.errorString());
                if (n == 0) {
                    if (m_frameOpen) Refuse(m_name, QStringLiteral("the compressed stream is cut short"));
                    break;
                }
                m_in_buffer = {m_input.data(), size_t(n), 0};
            }
            const size_t hint = ZSTD_decompressStream(m_dctx.get(), &out, &m_in_buffer);
            if (ZSTD_isError(hint))
                Refuse(m_name,
                       QStringLiteral("the compressed stream is damaged (%1)").arg(ZSTD_getErrorName(hint)));
            m_frameOpen = hint != 0;
        }
        return out.pos;
    }
    void ReadExactly(char* data, size_t size) {
        if (Read(data, size) != size) Refuse(m_name, QStringLiteral("the object ends too early"));
    }

private:
    QFile& m_in;
    QString m_name;
    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> m_dctx;
    std::vector<char> m_input;
    ZSTD_inBuffer m_in_buffer = {nullptr, 0, 0};
    bool m_frameOpen = false;
};

template <typename T>
void Put(Compressor& c, T value) {
    const T le = qToLittleEndian(value);
    c.Write(reinterpret_cast<const char*>(&le), sizeof le);
}

template <typename T>
T Get(Decompressor& d) {
    T le;
    d.ReadExactly(reinterpret_cast<char*>(&le), sizeof le);
    return qFromLittleEndian(le);
}

void WriteAt(QFile& working, qint64 offset, const char* data, qint64 size) {
    if (!working.seek(offset) || working.write(data, size) != size)
        Refuse(working.fileName(), working.errorString());
}

void ExpectEnd(Decompressor& d, const QString& name) {
    char extra;
    if (d.Read(&extra, 1) != 0) Refuse(name, QStringLiteral("the object holds more than it announces"));
}

}  // namespace

QByteArray Sha256Of(QFile& file, const QString& name) {
    Sha256 hash;
    std::vector<char> buffer(1 << 20);
    if (!file.seek(0)) Refuse(name, QStringLiteral("cannot read: %1").arg(file.errorString()));
    for (;;) {
        const qint64 n = file.read(buffer.data(), qint64(buffer.size()));
        if (n < 0) Refuse(name, QStringLiteral("cannot read: %1").arg(file.errorString()));
        if (n == 0) return hash.Result();
        hash.Add(QByteArrayView(buffer.data(), n));
    }
}

Written WriteWhole(QFile& source, QFile& out) {
    Compressor c(out);
    std::vector<char> buffer(1 << 20);
    if (!source.seek(0)) Refuse(source.fileName(), source.errorString());
    for (;;) {
        const qint64 n = source.read(buffer.data(), qint64(buffer.size()));
        if (n < 0) Refuse(source.fileName(), source.errorString());
        if (n == 0) break;
        c.Write(buffer.data(), size_t(n));
    }
    return c.Finish();
}

Written WritePack(QFile& base, QFile& source, int pageSize, QFile& out) {
    const qint64 size = source.size();
    const qint64 baseSize = base.size();
    std::vector<char> page(static_cast<size_t>(pageSize)), old(static_cast<size_t>(pageSize));
    std::vector<quint64> changed;
    base.seek(0);
    source.seek(0);
    for (qint64 offset = 0, n = 0; offset < size; offset += pageSize, ++n) {
        const qint64 length = std::min<qint64>(pageSize, size - offset);
        const qint64 oldLength = std::clamp<qint64>(baseSize - offset, 0, length);
        ReadFully(source, page.data(), length, source.fileName());
        if (oldLength > 0) ReadFully(base, old.data(), oldLength, base.fileName());
        if (oldLength != length || std::memcmp(page.data(), old.data(), size_t(length)) != 0)
            changed.push_back(quint64(n));
    }
    Compressor c(out);
    c.Write(kPackMagic, sizeof kPackMagic);
    Put<quint32>(c, quint32(pageSize));
    Put<quint64>(c, quint64(size));
    Put<quint64>(c, quint64(changed.size()));
    for (const quint64 n : changed) {
        const qint64 offset = qint64(n) * pageSize;
        const qint64 length = std::min<qint64>(pageSize, size - offset);
        if (!source.seek(offset)) Refuse(source.fileName(), source.errorString());
        ReadFully(source, page.data(), length, source.fileName());
        Put<quint64>(c, n);
        c.Write(page.data(), size_t(length));
    }
    return c.Finish();
}

void ApplyWhole(QFile& object, const QString& name, qint64 fileSize, QFile& working) {
    object.seek(0);
    Decompressor d(object, name);
    std::vector<char> buffer(1 << 20);
    qint64 total = 0;
    if (!working.resize(0)) Refuse(working.fileName(), working.errorString());
    for (;;) {
        const size_t n = d.Read(buffer.data(), buffer.size());
        if (n == 0) break;
        total += qint64(n);
        if (total > fileSize) Refuse(name, QStringLiteral("the file is larger than its manifest says"));
        WriteAt(working, total - qint64(n), buffer.data(), qint64(n));
    }
    if (total != fileSize)
        Refuse(name, QStringLiteral("the file has %1 bytes, its manifest says %2").arg(total).arg(fileSize));
}

void ApplyPack(QFile& object, const QString& name, int pageSize, qint64 fileSize, QFile& working) {
    object.seek(0);
    Decompressor d(object, name);
    char magic[sizeof kPackMagic];
    d.ReadExactly(magic, sizeof magic);
    if (std::memcmp(magic, kPackMagic, sizeof magic) != 0)
        Refuse(name, QStringLiteral("this is not a page pack"));
    if (Get<quint32>(d) != quint32(pageSize) || Get<quint64>(d) != quint64(fileSize))
        Refuse(name, QStringLiteral("the pack was made for another page or file size"));
    const quint64 count = Get<quint64>(d);
    const quint64 pages = quint64((fileSize + pageSize - 1) / pageSize);
    if (count > pages) Refuse(name, QStringLiteral("the pack holds more pages than the file"));
    if (!working.resize(fileSize)) Refuse(working.fileName(), working.errorString());
    std::vector<char> page(static_cast<size_t>(pageSize));
    quint64 next = 0;
    for (quint64 i = 0; i < count; ++i) {
        const quint64 n = Get<quint64>(d);
        if (n < next || n >= pages)
            Refuse(name, QStringLiteral("page %1 lies outside the file or out of order").arg(n));
        next = n + 1;
        const qint64 offset = qint64(n) * pageSize;
        const qint64 length = std::min<qint64>(pageSize, fileSize - offset);
        d.ReadExactly(page.data(), size_t(length));
        WriteAt(working, offset, page.data(), length);
    }
    ExpectEnd(d, name);
}

}  // namespace zarvik::store
