// Writing one value back into the text of IndexConfiguration.xml, changing nothing else.
#pragma once

#include <QString>

#include "zarvik/config/configdocument.h"

namespace zarvik::config {

// False when value holds a character XML 1.0 cannot carry, not even as a reference.
bool IsXmlText(const QString& value);
// The value as element text: '&', '<', '>' and CR as references.
QString EscapeText(const QString& value);
// The text with the field of the index set to escaped (a value EscapeText made): the
// element's content replaced, or the element added behind the index's last child.
QString EditedText(const QString& text, const Document::Index& index, int field, const QString& escaped);

}  // namespace zarvik::config
