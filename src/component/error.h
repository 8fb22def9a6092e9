// The one error type of the program and its component: number, source, description.
#pragma once

#include <QString>
#include <cstdint>
#include <exception>
#include <string>

namespace component {

// Well-known error numbers. Application-defined errors start at 0x80040000.
namespace errnum {
constexpr std::int32_t kAppBase = static_cast<std::int32_t>(0x80040000u);
constexpr std::int32_t kNotImplemented = static_cast<std::int32_t>(0x80004001u);  // E_NOTIMPL
constexpr std::int32_t kInvalidArgument = static_cast<std::int32_t>(0x80070057u); // E_INVALIDARG
constexpr std::int32_t kOverflow = 6;
constexpr std::int32_t kTypeMismatch = 13;
constexpr std::int32_t kKeyExists = 457;  // "This key is already associated with an element"
// Errors of the component library: kAppBase + 0x200 and up.
constexpr std::int32_t kConfigLoad = kAppBase + 0x201;
constexpr std::int32_t kConfigNoIndex = kAppBase + 0x202;
constexpr std::int32_t kConfigSave = kAppBase + 0x203;
constexpr std::int32_t kDatabase = kAppBase + 0x210;
constexpr std::int32_t kConversion = kAppBase + 0x211;
constexpr std::int32_t kIndexBuild = kAppBase + 0x220;
constexpr std::int32_t kIndexLocked = kAppBase + 0x221;
constexpr std::int32_t kIndexSearch = kAppBase + 0x222;
// A new index failed a check before going live; the live index stayed in place.
constexpr std::int32_t kIndexRefused = kAppBase + 0x223;
constexpr std::int32_t kPropagation = kAppBase + 0x230;
constexpr std::int32_t kEventLog = kAppBase + 0x240;
constexpr std::int32_t kMetricsWrite = kAppBase + 0x250;
}  // namespace errnum

// Carries what a failing operation leaves behind. Callers may put their own line in
// front of the description (SetDescription) before reporting it. Number 0 means
// "no error"; nothing throws an Error with number 0.
class Error : public std::exception {
public:
    Error() = default;
    Error(std::int32_t number, QString source, QString description);

    std::int32_t Number() const noexcept { return m_number; }
    const QString& Source() const noexcept { return m_source; }
    const QString& Description() const noexcept { return m_description; }
    void SetDescription(const QString& description);

    const char* what() const noexcept override { return m_what.c_str(); }

private:
    std::int32_t m_number = 0;
    QString m_source;
    QString m_description;
    std::string m_what;
};

// The error a caught exception stands for: the component's own error as it is, any
// other exception as number kAppBase + 2 from source, with its what() text.
Error AsError(const std::exception& e, const QString& source);

// Raised by operations that a later version of the program completes.
[[noreturn]] void ThrowNotImplemented(const QString& source, const QString& operation);

}  // namespace component
