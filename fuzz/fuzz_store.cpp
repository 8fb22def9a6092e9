// What a reader fetches from a store, on arbitrary bytes: a manifest or `current`
// (the first byte chooses) is accepted or refused with the store's error, and what is
// accepted is within bounds, names only objects of its own folder, and written out
// again reads back the same.
#include <cstddef>
#include <cstdint>

#include "component/error.h"
#include "fuzz/check.h"
#include "zarvik/store/manifest.h"

namespace {

using namespace zarvik::store;

bool PlainName(const QString& name) {
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1String("..")) &&
           VersionOfObject(name) > 0;
}

void CheckManifest(const QByteArray& text) {
    Manifest m;
    try {
        m = ParseManifest(text, QStringLiteral("m"));
    } catch (const component::Error& error) {
        FUZZ_CHECK(error.Number() == component::errnum::kPropagation);
        return;
    }
    FUZZ_CHECK(m.version >= 1 && m.version <= kMaxVersion);
    FUZZ_CHECK(m.base < m.version && (m.base == 0) == m.object.whole);
    FUZZ_CHECK(m.object.size >= 1 && m.object.size <= kMaxFileSize && m.fileSize <= kMaxFileSize);
    FUZZ_CHECK(m.sha256.size() == 32 && m.object.sha256.size() == 32);
    FUZZ_CHECK(PlainName(m.object.name), "%s", qPrintable(m.object.name));
    FUZZ_CHECK(m.object.whole ||
               (IsManifestName(m.baseManifest) && VersionOfObject(m.baseManifest) == m.base));
    if (!text.startsWith("lumora-index-store 2\n")) return;
    const QByteArray again = FormatManifest(m);
    const Manifest back = ParseManifest(again, ManifestName(m.version, again));
    FUZZ_CHECK(back.version == m.version && back.base == m.base && back.baseManifest == m.baseManifest &&
               back.object.name == m.object.name && back.sha256 == m.sha256 && back.fileSize == m.fileSize &&
               back.documents == m.documents && back.built == m.built && back.chain == m.chain);
}

void CheckCurrent(const QByteArray& text) {
    Current current;
    try {
        current = ParseCurrent(text, QStringLiteral("current"));
    } catch (const component::Error& error) {
        FUZZ_CHECK(error.Number() == component::errnum::kPropagation);
        return;
    }
    FUZZ_CHECK(current.version >= 1 && current.version <= kMaxVersion);
    FUZZ_CHECK(IsManifestName(current.manifest) && VersionOfObject(current.manifest) == current.version, "%s",
               qPrintable(current.manifest));
    const Current back = ParseCurrent(FormatCurrent(current.manifest), QStringLiteral("current"));
    FUZZ_CHECK(back.version == current.version && back.manifest == current.manifest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const QByteArray text(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    if (data[0] & 1)
        CheckCurrent(text);
    else
        CheckManifest(text);
    return 0;
}
