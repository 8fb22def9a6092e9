// Values read from the database as the rules need them: whole numbers rounded as the
// database's own integer conversion rounds, texts; NULL and what is no number raise.
#pragma once

#include <QString>
#include <QVariant>
#include <cstdint>

namespace usernodes {

// The source of every error the user-node computation raises itself.
inline const QString kSource = QStringLiteral("UserNodePropagation");

// A whole number from a database value, rounding like the database's own integer
// conversion would (half to even). NULL and values that are not numbers raise.
qint64 ToWhole(const QVariant& value, const QString& column, qint64 low, qint64 high);
std::int32_t ToInt32(const QVariant& value, const QString& column);
std::int16_t ToInt16(const QVariant& value, const QString& column);
// NULL raises.
QString ToText(const QVariant& value, const QString& column);

}  // namespace usernodes
