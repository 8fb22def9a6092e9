// What the two runs share: the lookup of the "RAdozudo" connection text, closing after
// a failure, the steps a failure reason names, and the count of users no longer listed.
#pragma once

#include <QString>
#include <exception>
#include <memory>

#include "component/error.h"
#include "component/configuration.h"
#include "component/dataaccess.h"
#include "component/services.h"
#include "usernodes/conversions.h"

namespace usernodes {

inline const QString kDataSource = QStringLiteral("RAdozudo");

template <typename T>
T& Require(const std::unique_ptr<T>& result, const QString& what) {
    if (!result)
        throw component::Error(component::errnum::kDatabase, kSource,
                               what + QStringLiteral(" returned no result"));
    return *result;
}

// The opening step both computations share: the connection text of "RAdozudo" as the
// run was given it. Raises component::Error (kNoDataSourceText) when it is empty.
const QString& RAdozudoConnectionText(const QString& connectionText);

// A connection to the database of that text. Raises component::Error when the
// services return none, and what their OpenConnection raises.
std::unique_ptr<component::Connection> OpenRAdozudo(component::IndexingServices& services,
                                                    const QString& connectionText);

void CloseQuietly(std::unique_ptr<component::Connection>& connection);

// The steps a failure reason names.
inline const QString kStepDataSource = QStringLiteral("Looking up the data source");
inline const QString kStepConnecting = QStringLiteral("Connecting to the database");
inline const QString kStepCatalog = QStringLiteral("Reading the catalog");
inline const QString kStepAssignments = QStringLiteral("Reading the users' assignments");
inline const QString kStepUsers = QStringLiteral("Listing the users");
// A user's ID in quotes, as a failure reason shows it.
QString Quoted(const QString& userID);
QString ComputingStep(const QString& userID);
QString WritingStep(const QString& userID);

// One sentence: the step, then the first line of what the database or the
// conversion said.
QString FailureSentence(const QString& step, const std::exception& failure);

// The users with rows but no assignment, or -1 when the count fails (it is told, it
// fails nothing).
qint64 CountUnlistedUsers(component::IndexingServices& services, component::Connection& read);

}  // namespace usernodes
