// The manifest's text: one "key value" line each, read strictly, every figure bounded;
// object names that carry their content's SHA-256.
#include "zarvik/store/manifest.h"

#include <QRegularExpression>
#include <QSet>
#include <QStringList>

#include "component/error.h"
#include "zarvik/files/sha256.h"

namespace zarvik::store {
namespace {

const QString kSource = QStringLiteral("ZarvikIndexing.Store");

QString VersionText(qint64 version) {
    return QStringLiteral("%1").arg(version, 8, 10, QLatin1Char('0'));
}

// VVVVVVVV, then "-" and 64 hex digits in format 2, then the kind.
const QRegularExpression& NameForm() {
    static const QRegularExpression form(
        QStringLiteral("^([0-9]{8})(?:-([0-9a-f]{64}))?\\.(manifest|whole\\.zst|pack\\.zst)$"));
    return form;
}

QString HexSha256(const QByteArray& bytes) {
    return QString::fromLatin1(files::Sha256::Of(bytes).toHex());
}

qint64 Number(const QString& text, qint64 low, qint64 high, const QString& object, const QString& key) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,15}$"));
    bool ok = digits.match(text).hasMatch();
    const qint64 n = ok ? text.toLongLong(&ok) : 0;
    if (!ok || n < low || n > high)
        Refuse(object,
               QStringLiteral("%1 \"%2\" is not a number from %3 to %4").arg(key, text).arg(low).arg(high));
    return n;
}

QByteArray Digest(const QString& text, const QString& object) {
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    if (!hex.match(text).hasMatch())
        Refuse(object, QStringLiteral("\"%1\" is not a SHA-256 in hex").arg(text));
    return QByteArray::fromHex(text.toLatin1());
}

// A data object must be a plain name in the manifest's own folder.
QString ObjectName(const QString& text, const QString& object) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_-][A-Za-z0-9._-]{0,127}$"));
    if (!plain.match(text).hasMatch() || text.contains(QLatin1String("..")))
        Refuse(object, QStringLiteral("the data object \"%1\" is outside the store's folder").arg(text));
    return text;
}

// What a manifest's format changes in how it is read.
struct Reading {
    int format = kFormatVersion;
    QString object;
};

void ReadObject(const QStringList& words, const QString& object, Manifest* m) {
    if (words.size() != 5 || (words[1] != QLatin1String("whole") && words[1] != QLatin1String("pack")))
        Refuse(object, QStringLiteral("the object line is not \"object whole|pack NAME SIZE SHA256\""));
    m->object.whole = words[1] == QLatin1String("whole");
    m->object.name = ObjectName(words[2], object);
    m->object.size = Number(words[3], 1, kMaxFileSize, object, QStringLiteral("the object's size"));
    m->object.sha256 = Digest(words[4], object);
}

// "base none", or the base's manifest by name (format 2) or by version (format 1).
void ReadBase(const QString& value, const Reading& r, Manifest* m) {
    if (value == QLatin1String("none")) return;
    if (r.format == 1) {
        m->base = Number(value, 1, kMaxVersion, r.object, QStringLiteral("base"));
        m->baseManifest = VersionText(m->base) + QStringLiteral(".manifest");
        return;
    }
    const QRegularExpressionMatch match = NameForm().match(value);
    if (!match.hasMatch() || match.captured(2).isEmpty() || match.captured(3) != QLatin1String("manifest"))
        Refuse(r.object, QStringLiteral("the base \"%1\" is no manifest's name").arg(value));
    m->base = Number(match.captured(1), 1, kMaxVersion, r.object, QStringLiteral("base"));
    m->baseManifest = value;
}

void ReadLine(const QStringList& words, const Reading& r, Manifest* m) {
    const QString& object = r.object;
    const QString& key = words[0];
    const QString value = words.size() == 2 ? words[1] : QString();
    if (key == QLatin1String("object")) return ReadObject(words, object, m);
    if (words.size() != 2)
        Refuse(object, QStringLiteral("the line \"%1\" is malformed").arg(words.join(' ')));
    if (key == QLatin1String("version"))
        m->version = Number(value, 1, kMaxVersion, object, key);
    else if (key == QLatin1String("built"))
        m->built = value;
    else if (key == QLatin1String("documents"))
        m->documents = Number(value, 0, kMaxFileSize, object, key);
    else if (key == QLatin1String("mode")) {
        if (value != QLatin1String("full") && value != QLatin1String("changes"))
            Refuse(object, QStringLiteral("the build mode \"%1\" is unknown").arg(value));
        m->mode = value;
    } else if (key == QLatin1String("page-size")) {
        m->pageSize = int(Number(value, 512, 65536, object, key));
        if ((m->pageSize & (m->pageSize - 1)) != 0)
            Refuse(object, QStringLiteral("the page size is no power of 2"));
    } else if (key == QLatin1String("file-size"))
        m->fileSize = Number(value, 1, kMaxFileSize, object, key);
    else if (key == QLatin1String("sha256"))
        m->sha256 = Digest(value, object);
    else if (key == QLatin1String("base"))
        ReadBase(value, r, m);
    else if (key == QLatin1String("chain"))
        m->chain = int(Number(value, 0, 100000, object, key));
    else
        Refuse(object, QStringLiteral("the key \"%1\" is unknown").arg(key));
}

}  // namespace

void Refuse(const QString& objectName, const QString& why) {
    throw component::Error(component::errnum::kPropagation, kSource, objectName + QStringLiteral(": ") + why);
}

QString ManifestName(qint64 version, const QByteArray& manifestText) {
    return VersionText(version) + QLatin1Char('-') + HexSha256(manifestText) + QStringLiteral(".manifest");
}

QString DataObjectName(qint64 version, bool whole, const QByteArray& sha256OfObject) {
    return VersionText(version) + QLatin1Char('-') + QString::fromLatin1(sha256OfObject.toHex()) +
           (whole ? QStringLiteral(".whole.zst") : QStringLiteral(".pack.zst"));
}

qint64 VersionOfObject(const QString& name) {
    const QRegularExpressionMatch match = NameForm().match(name);
    return match.hasMatch() ? match.captured(1).toLongLong() : 0;
}

bool IsManifestName(const QString& name) {
    const QRegularExpressionMatch match = NameForm().match(name);
    return match.hasMatch() && match.captured(3) == QLatin1String("manifest") &&
           match.captured(1).toLongLong() > 0;
}

// Written line by line: a value is never read as a placeholder of the next.
QByteArray FormatManifest(const Manifest& m) {
    const auto line = [](const char* key, const QString& value) {
        return QByteArray(key) + ' ' + value.toUtf8() + '\n';
    };
    return QByteArray("lumora-index-store ") + QByteArray::number(kFormatVersion) + '\n' +
           line("version", QString::number(m.version)) +
           line("built", m.built.isEmpty() ? QStringLiteral("-") : m.built) +
           line("documents", QString::number(m.documents)) + line("mode", m.mode) +
           line("page-size", QString::number(m.pageSize)) + line("file-size", QString::number(m.fileSize)) +
           line("sha256", QString::fromLatin1(m.sha256.toHex())) +
           line("base", m.base == 0 ? QStringLiteral("none") : m.baseManifest) +
           line("chain", QString::number(m.chain)) +
           line("object", (m.object.whole ? QStringLiteral("whole ") : QStringLiteral("pack ")) +
                              m.object.name + QLatin1Char(' ') + QString::number(m.object.size) +
                              QLatin1Char(' ') + QString::fromLatin1(m.object.sha256.toHex()));
}

namespace {

// The format version the first line names; raises when it is not one this program reads.
int ReadFormat(const QStringList& lines, const QString& objectName) {
    if (lines.isEmpty() || !lines[0].startsWith(QLatin1String("lumora-index-store ")))
        Refuse(objectName, QStringLiteral("this is not a manifest of an index store"));
    const QString format = lines[0].mid(19);
    if (format != QLatin1String("1") && format != QString::number(kFormatVersion))
        Refuse(objectName, QStringLiteral("the format version \"%1\" is unknown").arg(format));
    return format.toInt();
}

// What a manifest says must agree with itself and with the name it was fetched by.
void CheckConsistent(const Manifest& m, const QByteArray& text, const Reading& r) {
    if (m.object.whole != (m.base == 0) || m.base >= m.version || (m.chain == 0) != m.object.whole)
        Refuse(r.object, QStringLiteral("the base, the chain and the object's kind disagree"));
    const QRegularExpressionMatch name = NameForm().match(r.object);
    if (name.hasMatch() && name.captured(1).toLongLong() != m.version)
        Refuse(r.object, QStringLiteral("the manifest is of version %1").arg(m.version));
    if (name.hasMatch() && !name.captured(2).isEmpty() && name.captured(2) != HexSha256(text))
        Refuse(r.object, QStringLiteral("its SHA-256 is not the one its name carries"));
    const QString expected = r.format >= 2
                                 ? DataObjectName(m.version, m.object.whole, m.object.sha256)
                                 : VersionText(m.version) + (m.object.whole ? QStringLiteral(".whole.zst")
                                                                            : QStringLiteral(".pack.zst"));
    if (m.object.name != expected)
        Refuse(r.object, QStringLiteral("the data object \"%1\" is not named for its version and SHA-256")
                             .arg(m.object.name));
}

}  // namespace

Manifest ParseManifest(const QByteArray& text, const QString& objectName) {
    if (text.size() > kMaxManifestBytes) Refuse(objectName, QStringLiteral("the manifest is too large"));
    QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    const Reading reading{ReadFormat(lines, objectName), objectName};
    Manifest m;
    QSet<QString> seen;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QStringList words = lines[i].split(QLatin1Char(' '));
        if (seen.contains(words[0]))
            Refuse(objectName, QStringLiteral("the key \"%1\" is repeated").arg(words[0]));
        seen.insert(words[0]);
        ReadLine(words, reading, &m);
    }
    if (seen.size() != 10) Refuse(objectName, QStringLiteral("the manifest lacks a line"));
    CheckConsistent(m, text, reading);
    return m;
}

QByteArray FormatCurrent(const QString& manifestName) {
    return manifestName.toLatin1() + '\n';
}

Current ParseCurrent(const QByteArray& text, const QString& objectName) {
    if (text.size() > kMaxCurrentBytes) Refuse(objectName, QStringLiteral("the object is too large"));
    const QString line = QString::fromLatin1(text).trimmed();
    if (IsManifestName(line)) return {VersionOfObject(line), line};
    // A store written in format 1 names its version by number.
    const qint64 version = Number(line, 1, kMaxVersion, objectName, QStringLiteral("the version"));
    return {version, VersionText(version) + QStringLiteral(".manifest")};
}

}  // namespace zarvik::store
