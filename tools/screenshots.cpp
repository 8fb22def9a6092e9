// Takes the README's pictures of the main dialog and the search window, on the demo
// configuration, under a real X server (scripts/screenshots.sh runs it in Xvfb).
#include "component/factory.h"
#include "search/searchdialog.h"
#include "maindialog/maindialog.h"
#include "component/globals.h"
#include "zarvik/factory.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <cstdio>

namespace {
bool Save(QWidget& widget, const QString& file) {
    QTest::qWait(200);
    const bool saved = widget.grab().save(file);
    std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "could not write", qPrintable(file));
    return saved;
}
}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <folder of IndexConfiguration.xml> <output folder>\n", argv[0]);
        return 2;
    }
    // The pictures are meant at the resolution the script gives the X server.
    const QScreen* screen = QGuiApplication::primaryScreen();
    std::fprintf(stderr, "screen: %.0f logical dpi, device pixel ratio %.3f\n", screen->logicalDotsPerInchY(),
                 screen->devicePixelRatio());
    const QString demo = QString::fromLocal8Bit(argv[1]);
    const QString out = QString::fromLocal8Bit(argv[2]);
    try {
        component::InstallFactory(zarvik::NewComponentFactory());
        component::g_indexConfiguration = component::Factory().NewIndexConfiguration();
        component::g_indexConfiguration->LoadFromFile(QDir(demo).filePath(QStringLiteral("IndexConfiguration.xml")));
        component::g_searchEngine = component::Factory().NewIndexingServices()->CreateEngine(demo, demo, false);

        maindialog::MainDialog dialog;
        dialog.LoadIndexList(component::g_indexConfiguration->GetIndexList());
        dialog.SelectCurrentIndex(QStringLiteral("catalog"));
        dialog.UpdateStatus(QStringLiteral("Indexing finished: 4000 documents"));
        dialog.show();
        if (!Save(dialog, QDir(out).filePath(QStringLiteral("main-dialog.png")))) return 1;

        search::SearchDialog search(component::g_searchEngine, QStringLiteral("catalog"), component::g_indexConfiguration->IndexPath());
        search.show();
        QTest::keyClicks(search.findChild<QLineEdit*>(QStringLiteral("QueryEdit")), QStringLiteral("water NOT salt"));
        QTest::mouseClick(search.findChild<QPushButton*>(QStringLiteral("SearchButton")), Qt::LeftButton);
        if (!Save(search, QDir(out).filePath(QStringLiteral("search-window.png")))) return 1;
    } catch (const component::Error& e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.Description()));
        return 1;
    }
    return 0;
}
