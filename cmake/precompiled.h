// The library headers most of the program's files include, parsed once per build
// (LUMORA_PRECOMPILE). Only headers whose meaning no compile definition of a target
// changes: a target's QT_*_LIB definitions are not seen when this is compiled.
#pragma once

#include <sqlite3.h>

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>
