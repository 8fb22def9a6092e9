// The one error type of the program and its component.
#include "component/error.h"

#include <utility>

namespace component {

Error::Error(std::int32_t number, QString source, QString description)
    : m_number(number), m_source(std::move(source)), m_description(std::move(description)),
      m_what(m_description.toStdString()) {}

void Error::SetDescription(const QString& description) {
    m_description = description;
    m_what = m_description.toStdString();
}

Error AsError(const std::exception& e, const QString& source) {
    if (const auto* raised = dynamic_cast<const Error*>(&e)) return *raised;
    return Error(errnum::kAppBase + 2, source, QString::fromLocal8Bit(e.what()));
}

void ThrowNotImplemented(const QString& source, const QString& operation) {
    throw Error(errnum::kNotImplemented, source, operation + QStringLiteral(": not implemented yet"));
}

}  // namespace component
