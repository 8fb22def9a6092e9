// Values read from the database as the rules need them.
#include "usernodes/conversions.h"

#include <cmath>
#include <limits>

#include "component/error.h"
#include "usernodes/numberkind.h"

namespace usernodes {

using component::Error;
namespace errnum = component::errnum;

qint64 ToWhole(const QVariant& value, const QString& column, qint64 low, qint64 high) {
    if (value.isNull())
        throw Error(errnum::kConversion, kSource,
                    QStringLiteral("Invalid use of Null (column %1)").arg(column));
    bool ok = false;
    double asDouble = 0;
    qint64 whole = 0;
    bool isWhole = false;
    switch (NumberKindOf(value.typeId())) {
        case NumberKind::Signed:
            whole = value.toLongLong();
            isWhole = true;
            break;
        case NumberKind::Unsigned: {
            const qulonglong u = value.toULongLong();
            if (u > static_cast<qulonglong>(high))
                throw Error(errnum::kOverflow, kSource, QStringLiteral("Overflow (column %1)").arg(column));
            whole = static_cast<qint64>(u);
            isWhole = true;
            break;
        }
        case NumberKind::Boolean:
            whole = value.toBool() ? -1 : 0;
            isWhole = true;
            break;
        case NumberKind::Floating:
            asDouble = value.toDouble();
            break;
        case NumberKind::Other: {
            const QString text = value.toString().trimmed();
            whole = text.toLongLong(&ok);
            if (ok) {
                isWhole = true;
                break;
            }
            asDouble = text.toDouble(&ok);
            if (!ok)
                throw Error(
                    errnum::kTypeMismatch, kSource,
                    QStringLiteral("Type mismatch (column %1): \"%2\"").arg(column, value.toString()));
        }
    }
    if (!isWhole) {
        if (!std::isfinite(asDouble) || asDouble < static_cast<double>(low) - 0.5 ||
            asDouble > static_cast<double>(high) + 0.5)
            throw Error(errnum::kOverflow, kSource, QStringLiteral("Overflow (column %1)").arg(column));
        whole = static_cast<qint64>(std::nearbyint(asDouble));
    }
    if (whole < low || whole > high)
        throw Error(errnum::kOverflow, kSource,
                    QStringLiteral("Overflow (column %1): %2").arg(column).arg(whole));
    return whole;
}

std::int32_t ToInt32(const QVariant& value, const QString& column) {
    return static_cast<std::int32_t>(ToWhole(value, column, std::numeric_limits<std::int32_t>::min(),
                                             std::numeric_limits<std::int32_t>::max()));
}

std::int16_t ToInt16(const QVariant& value, const QString& column) {
    return static_cast<std::int16_t>(ToWhole(value, column, std::numeric_limits<std::int16_t>::min(),
                                             std::numeric_limits<std::int16_t>::max()));
}

QString ToText(const QVariant& value, const QString& column) {
    if (value.isNull())
        throw Error(errnum::kConversion, kSource,
                    QStringLiteral("Invalid use of Null (column %1)").arg(column));
    return value.toString();
}

}  // namespace usernodes
