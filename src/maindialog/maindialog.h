// The program's one window: index list and selection, a build's progress and stop,
// engine version and help. The build itself is run::BuildDriver's; the dialog is its
// view and forwards the Stop button to it.
#pragma once

#include "component/configuration.h"
#include "run/buildview.h"

#include <QDialog>
#include <memory>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace platform {
class StatusTrace;
}
namespace run {
class BuildDriver;
}

namespace maindialog {

class MainDialog : public QDialog, public run::BuildView {
    Q_OBJECT

public:
    explicit MainDialog(QWidget* parent = nullptr);
    ~MainDialog() override;

    // Fills the index combo box with the display texts, in list order. Raises
    // (errnum::kOverflow) for a list the combo box cannot count.
    void LoadIndexList(const component::IndexList& indexList);
    // Selects the first entry whose index name equals indexName exactly; tells the
    // user when there is none. True when the combo box has a selection afterwards.
    bool SelectCurrentIndex(const QString& indexName);
    // One complete build of the current index; reports every outcome itself.
    void DoBuildIndex(bool automated);
    // Rewrites one user's USERNODE rows; false (and the build marked aborted) on failure.
    bool PopulateUserNodes(const QString& userID);

    // The build driver's view.
    void UpdateStatus(const QString& statusText) override;
    void ProcessEvents() override;
    void ShowAutomated() override;
    void ShowBusy() override;
    void SetIndexing(bool indexing) override { m_indexing = indexing; }
    void ShowIdle() override;
    void ShowResults(const QString& lastBuilt, const QString& numDocuments) override;

    bool IsIndexing() const { return m_indexing; }
    // False once the dialog has been unloaded (Exit, close box, automated success).
    bool IsLoaded() const { return m_loaded; }
    // True when the last automated build did not succeed.
    bool AutomatedBuildFailed() const { return m_automatedFailed; }
    // Headless runs also trace each status text on standard error.
    void SetStatusTrace(platform::StatusTrace* trace) { m_statusTrace = trace; }

Q_SIGNALS:
    void Unloaded();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void MakeIndexFrame();
    void OnIndexComboChanged(int index);
    void OnStartClicked();
    void OnStopClicked();
    void OnEngineClicked();
    void OnHelpClicked();
    void OnAboutClicked();
    void OnExitClicked();
    void OnSearchClicked();


    component::IndexList m_indexList;
    bool m_indexing = false;
    // The build running now, if any.
    run::BuildDriver* m_driver = nullptr;

    bool m_loaded = true;
    int m_buildDepth = 0;
    bool m_unloadPending = false;
    bool m_automatedFailed = false;
    bool m_centred = false;
    platform::StatusTrace* m_statusTrace = nullptr;
    QGroupBox* m_frame1 = nullptr;
    QLineEdit* m_indexPath = nullptr;
    QPlainTextEdit* m_status = nullptr;
    QPushButton* m_startButton = nullptr;
    QPushButton* m_stopButton = nullptr;
    QComboBox* m_indexCombo = nullptr;
    QLabel* m_numDocuments = nullptr;
    QLabel* m_lastBuilt = nullptr;
};

}  // namespace maindialog
