// The text a value travels as when a batch goes to PostgreSQL as parameters.
#include "zarvik/db/pg/pgpipeline.h"

#include <gtest/gtest.h>

#include <QDate>
#include <limits>

namespace {

struct ParameterCase {
    const char* name;
    QVariant value;
    std::optional<QByteArray> text;
};

class PgParameterTest : public ::testing::TestWithParam<ParameterCase> {};

TEST_P(PgParameterTest, EachValueBecomesTheTextTheServerReadsBack) {
    EXPECT_EQ(zarvik::db::PgParameter(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, PgParameterTest,
    ::testing::Values(
        ParameterCase{"Null", QVariant(), std::nullopt},
        ParameterCase{"TypedNull", QVariant(QMetaType::fromType<int>()), std::nullopt},
        ParameterCase{"Int", QVariant(-42), QByteArray("-42")},
        ParameterCase{"LongLong", QVariant(std::numeric_limits<qlonglong>::min()),
                      QByteArray("-9223372036854775808")},
        ParameterCase{"ULongLong", QVariant(std::numeric_limits<qulonglong>::max()),
                      QByteArray("18446744073709551615")},
        ParameterCase{"Bool", QVariant(true), QByteArray("true")},
        // Every digit a double holds, so the value read back is the value sent.
        ParameterCase{"Double", QVariant(0.1), QByteArray("0.10000000000000001")},
        ParameterCase{"NaN", QVariant(std::numeric_limits<double>::quiet_NaN()), QByteArray("NaN")},
        ParameterCase{"MinusInfinity", QVariant(-std::numeric_limits<double>::infinity()),
                      QByteArray("-Infinity")},
        ParameterCase{"Bytes", QVariant(QByteArray("\x00\xff", 2)), QByteArray("\\x00ff")},
        ParameterCase{"Date", QVariant(QDate(2026, 12, 8)), QByteArray("2026-12-08")},
        ParameterCase{"Text", QVariant(QStringLiteral("it's caf\u00e9")), QByteArray("it's caf\xc3\xa9")}),
    [](const ::testing::TestParamInfo<ParameterCase>& info) { return std::string(info.param.name); });

}  // namespace
