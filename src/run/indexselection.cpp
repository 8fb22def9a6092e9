// Making an index current.
#include "run/indexselection.h"

#include "component/texts.h"
#include "platform/messagebox.h"
#include "component/globals.h"
#include "report/report.h"

namespace run {

void ReportIndexNotFound(const QString& indexName) {
    platform::ShowMessage(QStringLiteral("Unable to load index (") + indexName + QStringLiteral("):") +
                              component::kCrLf + QStringLiteral("Index not found in configuration file."),
                          platform::kMbInformation);
}

bool LoadCurrentIndex(const QString& indexName) {
    try {
        component::g_indexConfiguration->LoadIndex(indexName);
        return true;
    } catch (const std::exception& e) {
        component::Error error = component::AsError(e, component::kProgramSource);
        error.SetDescription(QStringLiteral("Unable to load index (") + indexName + QStringLiteral("):") +
                             component::kCrLf + error.Description());
        report::ReportErrorAbsorbed(error);
        return false;
    }
}

bool SelectIndex(const component::IndexList& indexList, const QString& indexName) {
    if (indexList.size() > kMaxIndexes)
        throw component::Error(component::errnum::kOverflow, component::kProgramSource, QStringLiteral("Overflow"));
    for (const component::IndexEntry& entry : indexList) {
        if (entry.name == indexName) return LoadCurrentIndex(indexName);
    }
    ReportIndexNotFound(indexName);
    return false;
}

}  // namespace run
