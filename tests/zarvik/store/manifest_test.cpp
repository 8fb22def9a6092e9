// Manifests, `current` and object names: what a reader accepts from a store, in this
// format and in the one stores were written in before.
#include "zarvik/store/manifest.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>

#include "component/error.h"
#include "support/errorof.h"
#include "support/qt_printers.h"

namespace {

using namespace zarvik::store;

QByteArray Sha(const char* text) {
    return QCryptographicHash::hash(text, QCryptographicHash::Sha256);
}

Manifest Pack() {
    Manifest m;
    m.version = 17;
    m.built = "2026-12-10T03:00:00";
    m.documents = 4000;
    m.mode = "changes";
    m.pageSize = 4096;
    m.fileSize = 8192000;
    m.sha256 = Sha("file");
    m.base = 16;
    m.baseManifest = ManifestName(16, "the base's text");
    m.chain = 2;
    m.object = {false, DataObjectName(17, false, Sha("pack")), 1234, Sha("pack")};
    return m;
}

TEST(Manifest, WhatIsWrittenReadsBackUnderItsOwnName) {
    Manifest whole = Pack();
    whole.base = 0;
    whole.baseManifest.clear();
    whole.chain = 0;
    whole.object = {true, DataObjectName(17, true, Sha("whole")), 99, Sha("whole")};
    for (const Manifest& m : {Pack(), whole}) {
        const QByteArray text = FormatManifest(m);
        const QString name = ManifestName(m.version, text);
        EXPECT_TRUE(name.startsWith("00000017-") && name.endsWith(".manifest")) << name.toStdString();
        const Manifest back = ParseManifest(text, name);
        EXPECT_EQ(back.version, m.version);
        EXPECT_EQ(back.sha256, m.sha256);
        EXPECT_EQ(back.base, m.base);
        EXPECT_EQ(back.baseManifest, m.baseManifest);
        EXPECT_EQ(back.object.name, m.object.name);
        EXPECT_EQ(back.object.whole, m.object.whole);
        EXPECT_EQ(back.object.sha256, m.object.sha256);
        EXPECT_EQ(VersionOfObject(name), 17);
    }
}

// A store published before names its objects by version alone; its manifests and
// `current` still read, the base as that version's manifest.
TEST(Manifest, TheFirstFormatStillReads) {
    const QByteArray text =
        "lumora-index-store 1\nversion 12\nbuilt -\ndocuments 5\nmode changes\npage-size 4096\nfile-size "
        "8192\n"
        "sha256 " +
        QByteArray(64, 'a') + "\nbase 11\nchain 1\nobject pack 00000012.pack.zst 10 " + QByteArray(64, 'b') +
        "\n";
    const Manifest m = ParseManifest(text, "00000012.manifest");
    EXPECT_EQ(m.base, 11);
    EXPECT_EQ(m.baseManifest, "00000011.manifest");
    EXPECT_EQ(m.object.name, "00000012.pack.zst");
    const Current current = ParseCurrent("12\n", "current");
    EXPECT_EQ(current.version, 12);
    EXPECT_EQ(current.manifest, "00000012.manifest");
}

TEST(Manifest, DamageIsRefusedNamingTheObject) {
    const QByteArray good = FormatManifest(Pack());
    const QString name = ManifestName(17, good);
    const auto with = [&](const QByteArray& from, const QByteArray& to) {
        return QByteArray(good).replace(from, to);
    };
    struct Case {
        const char* what;
        QByteArray text;
        QString name;
        const char* said;
    };
    const QByteArray newerBase = ManifestName(20, "x").toLatin1();
    const Case cases[] = {
        {"bytes other than the name's hash", with("documents 4000", "documents 4001"), name,
         "not the one its name carries"},
        {"another version than the name's", good, ManifestName(18, good), "of version 17"},
        {"unknown format", with("store 2", "store 3"), "m", "format version \"3\" is unknown"},
        {"not a manifest", "<html>", "m", "not a manifest"},
        {"object of another version", with(" 00000017-", " 00000016-"), "m", "not named for its version"},
        {"object outside the folder", with("pack 00000017-", "pack ../00000017-"), "m", "outside"},
        {"base that is no manifest", with(".manifest\nchain", ".whole.zst\nchain"), "m",
         "no manifest's name"},
        {"base newer than the version", with(ManifestName(16, "the base's text").toLatin1(), newerBase), "m",
         "disagree"},
        {"repeated key", good + "chain 2\n", "m", "repeated"},
        {"missing line", with("documents 4000\n", ""), "m", "lacks a line"},
        {"page size no power of two", with("page-size 4096", "page-size 4097"), "m", "power of 2"},
        {"size out of bounds", with("file-size 8192000", "file-size 99999999999999"), "m", "is not a number"},
    };
    for (const Case& c : cases) {
        const QString said = testsupport::ErrorOf([&] { ParseManifest(c.text, c.name); }).Description();
        EXPECT_TRUE(said.startsWith(c.name + ": ") && said.contains(c.said))
            << c.what << ": " << said.toStdString();
    }
}

TEST(Manifest, CurrentNamesAManifest) {
    const QString name = ManifestName(17, "text");
    struct Case {
        QByteArray text;
        qint64 version;  // 0: refused
    };
    const Case cases[] = {
        {FormatCurrent(name), 17},
        {name.toLatin1() + "\r\n", 17},
        {"17", 17},
        {"", 0},
        {"0\n", 0},
        {"2; rm -rf /\n", 0},
        {QString(name).replace(".manifest", ".whole.zst").toLatin1(), 0},
        {"../" + name.toLatin1(), 0},
        {QByteArray(200, '1'), 0},
    };
    for (const Case& c : cases) {
        if (c.version == 0) {
            EXPECT_TRUE(testsupport::ErrorOf([&] { ParseCurrent(c.text, "current"); })
                            .Description()
                            .startsWith("current: "))
                << c.text.toStdString();
            continue;
        }
        const Current current = ParseCurrent(c.text, "current");
        EXPECT_EQ(current.version, c.version) << c.text.toStdString();
        EXPECT_EQ(current.manifest, c.text.startsWith("17") ? "00000017.manifest" : name);
    }
}

TEST(Manifest, OnlyAVersionsObjectsHaveAVersion) {
    const QString hex(64, 'c');
    const std::pair<QString, qint64> cases[] = {
        {"00000009-" + hex + ".manifest", 9},
        {"00000009-" + hex + ".pack.zst", 9},
        {"00000009.whole.zst", 9},
        {"current", 0},
        {"current.new-1f", 0},
        {"00000009-" + hex + ".manifest.partial", 0},
        {"00000009-" + hex.left(63) + ".manifest", 0},
    };
    for (const auto& [name, version] : cases) EXPECT_EQ(VersionOfObject(name), version) << name.toStdString();
}

}  // namespace
