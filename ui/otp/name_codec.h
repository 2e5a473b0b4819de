#pragma once

#include <string>

#include <QString>

// Token names travel as bytes that are usually, but not always, UTF-8. These
// two functions convert them to widget text and back without losing a byte:
// valid UTF-8 decodes normally, and each byte outside a valid sequence
// becomes the lone surrogate U+DC00 + byte (U+DC80..U+DCFF), which encoding
// turns back into that byte. Valid UTF-8 never encodes a surrogate, so
// name_from_qstring(name_to_qstring(x)) == x for every x.
QString name_to_qstring(const std::string& name);
std::string name_from_qstring(const QString& text);
