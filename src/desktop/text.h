#pragma once

#include <QString>
#include <string>

namespace varnok {

// Model texts are bytes (commands may carry any byte); they are shown one
// byte per character, so nothing is dropped or replaced for being invalid
// UTF-8.
inline QString fromBytes(const std::string& bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// A name from the file system (the title carries the program folder's name):
// UTF-8 when it is valid UTF-8, otherwise one byte per character.
QString fromFileName(const std::string& bytes);

// At most maxChars characters: a longer text keeps its beginning and ends in
// an ellipsis, and a surrogate pair is never split.
QString elide(const QString& text, int maxChars);

}  // namespace varnok
