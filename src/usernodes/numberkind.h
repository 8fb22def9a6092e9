// Which kind of number a database value holds, by its Qt type: the one list both
// readers of catalog values (the per-step queries and the catalog in memory) go by.
#pragma once

#include <QMetaType>

namespace usernodes {

enum class NumberKind { Signed, Unsigned, Floating, Boolean, Other };

inline NumberKind NumberKindOf(int typeId) {
    switch (typeId) {
        case QMetaType::Int:
        case QMetaType::Short:
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::Char:
        case QMetaType::SChar:
            return NumberKind::Signed;
        case QMetaType::UInt:
        case QMetaType::UShort:
        case QMetaType::ULong:
        case QMetaType::ULongLong:
        case QMetaType::UChar:
            return NumberKind::Unsigned;
        case QMetaType::Double:
        case QMetaType::Float:
            return NumberKind::Floating;
        case QMetaType::Bool:
            return NumberKind::Boolean;
        default:
            return NumberKind::Other;
    }
}

}  // namespace usernodes
