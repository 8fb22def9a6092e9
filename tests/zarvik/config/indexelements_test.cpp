// The table of an <Index>'s elements against what documents them: every element the
// program reads is named in the man page and the README.
#include "zarvik/config/indexelements.h"

#include <gtest/gtest.h>

#include <QFile>

namespace {

TEST(IndexElementsTest, EveryElementIsDocumented) {
    for (const char* path : {LUMORA_MAN_PAGE, LUMORA_README}) {
        QFile file(QString::fromUtf8(path));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path;
        const QString text = QString::fromUtf8(file.readAll());
        for (std::size_t row = 0; row < zarvik::config::kTextElementCount; ++row) {
            const QString element = u'<' + zarvik::config::ElementName(int(row)) + u'>';
            EXPECT_TRUE(text.contains(element)) << path << " does not name " << element.toStdString();
        }
    }
}

}  // namespace
