// The texts the main dialog shows that are computed rather than fixed.
#pragma once

#include <QString>
#include <cstdint>

namespace maindialog {

// "3.40 (1)": major and build as plain decimal, minor with at least two digits.
QString EngineVersionText(std::int16_t major, std::int16_t minor, std::int32_t build);
QString EngineVersionMessage(std::int16_t major, std::int16_t minor, std::int32_t build);
QString HelpText();

}  // namespace maindialog
