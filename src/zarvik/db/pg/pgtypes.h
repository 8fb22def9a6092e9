// Type OIDs of the server's catalog (pg_type) that the backend reads or binds in a
// form of their own; they are built in, so their numbers never change.
#pragma once

namespace zarvik::db::pgtypes {

enum : unsigned int {
    kBool = 16,
    kBytea = 17,
    kInt8 = 20,
    kInt2 = 21,
    kInt4 = 23,
    kOid = 26,
    kFloat4 = 700,
    kFloat8 = 701,
    kDate = 1082,
    kTimestamp = 1114,
    kTimestampTz = 1184,
    kNumeric = 1700,
};

}  // namespace zarvik::db::pgtypes
