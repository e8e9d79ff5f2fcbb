#include "desktop/text.h"

#include <QStringDecoder>

namespace varnok {

QString fromFileName(const std::string& bytes) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString decoded = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
  if (!utf8.hasError()) return decoded;
  return fromBytes(bytes);
}

QString elide(const QString& text, int maxChars) {
  if (maxChars <= 0) return {};
  if (text.size() <= maxChars) return text;
  qsizetype keep = maxChars - 1;
  if (keep > 0 && text.at(keep - 1).isHighSurrogate()) --keep;
  return text.left(keep) + QChar(0x2026);
}

}  // namespace varnok
