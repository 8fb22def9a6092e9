// Looking up a named data source of an index, and the small amount of connection-text
// handling the configuration needs.
#pragma once

#include "component/configuration.h"

namespace zarvik::config {

// The text of the first data source of exactly that name with every %DbSetting1% and
// %DbSetting2% replaced by the two settings; empty when there is none. A setting that
// makes up a whole value and contains ';' (or starts with '{', or has blanks at either end) is wrapped in
// {...} with '}' doubled, so a password cannot end its pair and add keys of its own. Raises nothing.
QString ConnectionStringFor(const QString& dbSetting1, const QString& dbSetting2, const QString& name,
                            const component::DataSourceList& dataSources);

// The text of the first data source of exactly that name, unchanged; empty when the
// name is empty or unknown. Raises nothing.
QString DataSourceText(const QString& name, const component::DataSourceList& dataSources);

// A connection text for SQLite (Provider=SQLite, or no Provider) whose Database= is a
// relative file path, with that path made absolute against folder. Every other
// character of the text stays as it was; other texts come back unchanged. In-memory
// databases (":memory:", empty) and "file:" URIs are left alone. Raises
// component::Error (errnum::kDatabase) for a text the data layer could not read (a
// piece without '=', an unknown provider), naming the fault but not the text.
QString AnchorSqliteDatabase(const QString& connectionText, const QString& folder);

}  // namespace zarvik::config
