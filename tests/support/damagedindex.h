// An index damaged behind the build's back, for the checks that must refuse it.
#pragma once

#include <gtest/gtest.h>

#include <QFile>
#include <QString>

namespace testsupport {

// Overwrites four pages of the SQLite file after its first: every copy of it is then
// byte for byte the file, and PRAGMA quick_check fails on each.
inline void OverwritePages(const QString& file) {
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_GT(f.size(), 8 * 4096);
    f.seek(4096);
    f.write(QByteArray(4 * 4096, '\xff'));
}

}  // namespace testsupport
