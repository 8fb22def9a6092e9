// Every word of the main dialog and the About box is visible at the dialog font, on
// screens of 96 dots per inch and of 100, a common X server default.
#include "about/aboutdialog.h"
#include "dialog_fixture.h"
#include "support/layoutcheck.h"

#include <QFontInfo>

namespace {

class LayoutTest : public DialogTest, public ::testing::WithParamInterface<int> {};

void ExpectFits(const QWidget& window, int dpi) {
    const std::vector<std::string> problems = testsupport::LayoutProblems(window, dpi);
    for (const std::string& p : problems) ADD_FAILURE() << window.objectName().toStdString() << ": " << p;
}

TEST_P(LayoutTest, MeasuresTheDialogFontAtTheResolution) {
    // The layout is measured for this font; a fallback would make the other checks
    // speak of another font.
    EXPECT_EQ(QFontInfo(dialog->font()).family(), QStringLiteral("Liberation Sans"));
    // The text is measured in the pixel size a screen of that resolution gives the
    // font: a point is dpi / 72 pixels.
    const QFont measured = testsupport::AtResolution(*dialog, GetParam());
    EXPECT_EQ(QFontInfo(measured).pixelSize(), qRound(dialog->font().pointSizeF() * GetParam() / 72.0));
}

TEST_P(LayoutTest, MainDialogShowsEveryWord) {
    ASSERT_TRUE(dialog->SelectCurrentIndex(QStringLiteral("sales")));
    dialog->show();
    ExpectFits(*dialog, GetParam());
}

TEST_P(LayoutTest, MainDialogWithTheWidestValuesShowsEveryWord) {
    // Values as wide as a build leaves them: a document count in the millions and a
    // date with a two-digit day and month.
    state->indexes[QStringLiteral("sales")][QStringLiteral("NumDocuments")] = QStringLiteral("12345678");
    state->indexes[QStringLiteral("sales")][QStringLiteral("LastBuilt")] = QStringLiteral("28 Dec 2026 23:59:59");
    ASSERT_TRUE(dialog->SelectCurrentIndex(QStringLiteral("sales")));
    dialog->show();
    ExpectFits(*dialog, GetParam());
}

TEST_P(LayoutTest, AboutBoxShowsEveryWord) {
    about::AboutDialog box;
    box.show();
    ExpectFits(box, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Dpi, LayoutTest, ::testing::Values(96, 100));

}  // namespace
