#include "nowplaying/text.h"

#include <unicode/normalizer2.h>
#include <unicode/translit.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/uscript.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "nowplaying/rds_charset.h"

namespace varnok::nowplaying {
namespace {

bool isControl(UChar c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

icu::UnicodeString cleanUnicode(std::string_view raw) {
  if (raw.size() > kMaxTextBytes) {
    throw std::length_error("now-playing text of " + std::to_string(raw.size()) +
                            " bytes is over the limit of " + std::to_string(kMaxTextBytes));
  }
  // fromUTF8 replaces each broken sequence with U+FFFD.
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(
      icu::StringPiece(raw.data(), static_cast<std::int32_t>(raw.size())));
  // Control characters go first, so that nothing after this step (NFC,
  // transliteration) ever sees them. They are all single UTF-16 units.
  for (std::int32_t i = 0; i < text.length(); ++i) {
    if (isControl(text.charAt(i))) text.setCharAt(i, u' ');
  }

  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) {
    throw std::runtime_error(std::string("ICU has no NFC normaliser: ") + u_errorName(status));
  }
  if (nfc->isNormalized(text, status) && U_SUCCESS(status)) return text;
  status = U_ZERO_ERROR;
  icu::UnicodeString normalized = nfc->normalize(text, status);
  if (U_FAILURE(status)) {
    throw std::runtime_error(std::string("NFC normalisation failed: ") + u_errorName(status));
  }
  return normalized;
}

void trimWhiteSpace(icu::UnicodeString& text) {
  std::int32_t end = text.length();
  while (end > 0) {
    const UChar32 c = text.char32At(end - 1);
    if (!u_isUWhiteSpace(c)) break;
    end -= U16_LENGTH(c);
  }
  std::int32_t start = 0;
  while (start < end) {
    const UChar32 c = text.char32At(start);
    if (!u_isUWhiteSpace(c)) break;
    start += U16_LENGTH(c);
  }
  text.retainBetween(start, end);
}

// The ICU transliterators, built once: they are costly to create. Calls are
// serialised, so any thread may use them whatever ICU promises about a
// transliterator shared between threads.
class Transliterators {
 public:
  static Transliterators& get() {
    static Transliterators instance;
    return instance;
  }

  // Any script to Latin letters, composed again afterwards.
  icu::UnicodeString toLatin(const icu::UnicodeString& text, std::int32_t start,
                             std::int32_t limit) {
    return run(*toLatin_, text, start, limit);
  }
  // Latin letters to ASCII (ß to ss, Ø to O, quotes, dashes), with the
  // combining marks that still stand alone dropped.
  icu::UnicodeString toAscii(const icu::UnicodeString& text, std::int32_t start,
                             std::int32_t limit) {
    return run(*toAscii_, text, start, limit);
  }

 private:
  Transliterators()
      : toLatin_(create("Any-Latin; NFC")),
        toAscii_(create("Latin-ASCII; NFD; [:Nonspacing Mark:] Remove; NFC")) {}

  static std::unique_ptr<icu::Transliterator> create(const char* id) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Transliterator> t(icu::Transliterator::createInstance(
        icu::UnicodeString::fromUTF8(id), UTRANS_FORWARD, status));
    if (U_FAILURE(status) || !t) {
      throw std::runtime_error(std::string("ICU cannot create the transliterator \"") + id +
                               "\": " + u_errorName(status));
    }
    return t;
  }

  // Transliterates text[start, limit) in pieces of bounded size: ICU edits
  // the text in place, moving everything after each replacement that changes
  // the length, which on a long text would take time quadratic in its size.
  // Each piece is transliterated with a few characters of the run on either
  // side as context, so that rules looking at neighbours (a space between
  // two Han syllables, a Greek final sigma) see what they would see in one
  // pass; only a rule that needs its neighbour already transliterated (the
  // apostrophe in "kon'nichiha") can miss at a piece boundary, that is in
  // runs of over kPiece units without a character of the charset. Pieces
  // never end inside a pair of surrogates nor, where avoidable, before a
  // combining mark.
  icu::UnicodeString run(const icu::Transliterator& t, const icu::UnicodeString& text,
                         std::int32_t start, std::int32_t limit) {
    static constexpr std::int32_t kPiece = 512;
    static constexpr std::int32_t kContext = 16;
    auto splits = [&](std::int32_t at) { return at < limit && U16_IS_TRAIL(text.charAt(at)); };
    icu::UnicodeString result;
    std::int32_t pos = start;
    while (pos < limit) {
      std::int32_t end = limit;
      if (limit - pos > kPiece) {
        end = pos + kPiece;
        while (end > pos + 1 &&
               (splits(end) || (U_GET_GC_MASK(text.char32At(end)) & U_GC_M_MASK))) {
          --end;
        }
        if (end == pos + 1) {  // marks only: any place outside a pair will do
          end = pos + kPiece;
          if (splits(end)) ++end;
        }
      }
      std::int32_t before = std::max(start, pos - kContext);
      if (splits(before)) --before;
      std::int32_t after = std::min(limit, end + kContext);
      if (splits(after)) ++after;
      icu::UnicodeString piece(text, before, after - before);
      UTransPosition at{};
      at.contextStart = 0;
      at.contextLimit = piece.length();
      at.start = pos - before;
      at.limit = end - before;
      {
        std::lock_guard lock(mutex_);
        t.filteredTransliterate(piece, at, false);
      }
      result.append(piece, pos - before, at.limit - (pos - before));
      pos = end;
    }
    return result;
  }

  std::unique_ptr<icu::Transliterator> toLatin_;
  std::unique_ptr<icu::Transliterator> toAscii_;
  std::mutex mutex_;
};

using CodeOf = std::optional<std::uint8_t> (*)(char32_t);

std::optional<std::uint8_t> asciiCode(char32_t c) {
  if (c >= 0x20 && c < 0x7F) return static_cast<std::uint8_t>(c);
  return std::nullopt;
}

// A letter of a script other than Latin: the RDS set has codes for α and π,
// but a Greek word is better transliterated as a whole than with those two
// kept among Latin letters.
bool isForeignLetter(UChar32 c) {
  if (!u_isalpha(c)) return false;
  UErrorCode status = U_ZERO_ERROR;
  const UScriptCode script = uscript_getScript(c, &status);
  return U_SUCCESS(status) && script != USCRIPT_LATIN && script != USCRIPT_COMMON &&
         script != USCRIPT_INHERITED;
}

enum class Step { Latin, Ascii, Space };

// Encodes text[start, limit) one character at a time; runs of characters
// without a code go through the next step (see encodeText).
void encodeRange(const icu::UnicodeString& text, std::int32_t start, std::int32_t limit,
                 CodeOf codeOf, Step step, std::string& out) {
  auto pending = [&](std::int32_t pos, UChar32 c) {
    if (!codeOf(static_cast<char32_t>(c))) return true;
    if (step != Step::Latin || !isForeignLetter(c)) return false;
    // A foreign letter with a code joins a run when a neighbour is foreign.
    const std::int32_t before = text.moveIndex32(pos, -1);
    const std::int32_t after = pos + U16_LENGTH(c);
    return (before < pos && before >= start && isForeignLetter(text.char32At(before))) ||
           (after < limit && isForeignLetter(text.char32At(after)));
  };
  std::int32_t pos = start;
  while (pos < limit) {
    const UChar32 c = text.char32At(pos);
    if (!pending(pos, c)) {
      out.push_back(static_cast<char>(*codeOf(static_cast<char32_t>(c))));
      pos += U16_LENGTH(c);
      continue;
    }
    std::int32_t end = pos + U16_LENGTH(c);
    while (end < limit && pending(end, text.char32At(end))) end += U16_LENGTH(text.char32At(end));
    switch (step) {
      case Step::Latin: {
        const icu::UnicodeString latin = Transliterators::get().toLatin(text, pos, end);
        encodeRange(latin, 0, latin.length(), codeOf, Step::Ascii, out);
        break;
      }
      case Step::Ascii: {
        const icu::UnicodeString ascii = Transliterators::get().toAscii(text, pos, end);
        encodeRange(ascii, 0, ascii.length(), codeOf, Step::Space, out);
        break;
      }
      case Step::Space:
        out.append(static_cast<std::size_t>(text.countChar32(pos, end - pos)), ' ');
        break;
    }
    pos = end;
  }
}

EncodedText encodeUnicode(const icu::UnicodeString& text, Charset charset) {
  std::string bytes;
  switch (charset) {
    case Charset::Utf8:
      text.toUTF8String(bytes);
      break;
    case Charset::Rds:
      bytes.reserve(static_cast<std::size_t>(text.length()));
      encodeRange(text, 0, text.length(), &rdsCode, Step::Latin, bytes);
      break;
    case Charset::Ascii:
      bytes.reserve(static_cast<std::size_t>(text.length()));
      encodeRange(text, 0, text.length(), &asciiCode, Step::Latin, bytes);
      break;
  }
  return EncodedText::fromValid(charset, std::move(bytes));
}

char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsLower(std::string_view value, std::string_view lower) {
  if (value.size() != lower.size()) return false;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (lowerAscii(value[i]) != lower[i]) return false;
  }
  return true;
}

}  // namespace

Charset parseCharset(std::string_view value) {
  if (equalsLower(value, "utf-8") || equalsLower(value, "utf8")) return Charset::Utf8;
  if (equalsLower(value, "rds")) return Charset::Rds;
  if (equalsLower(value, "ascii")) return Charset::Ascii;
  throw std::invalid_argument("unknown charset \"" + std::string(value) +
                              "\": expected utf-8, rds or ascii");
}

std::string_view charsetName(Charset charset) {
  switch (charset) {
    case Charset::Utf8:
      return "utf-8";
    case Charset::Rds:
      return "rds";
    case Charset::Ascii:
      return "ascii";
  }
  return "unknown";
}

std::string cleanText(std::string_view raw) {
  std::string out;
  cleanUnicode(raw).toUTF8String(out);
  return out;
}

EncodedText encodeText(std::string_view raw, Charset charset) {
  return encodeUnicode(cleanUnicode(raw), charset);
}

EncodedText encodeField(std::string_view raw, Charset charset) {
  icu::UnicodeString text = cleanUnicode(raw);
  trimWhiteSpace(text);
  EncodedText encoded = encodeUnicode(text, charset);
  encoded.trimSpaces();
  return encoded;
}

EncodedText EncodedText::fromValid(Charset charset, std::string bytes) {
  EncodedText text(charset);
  if (charset == Charset::Utf8) {
    for (const char b : bytes) {
      if ((static_cast<unsigned char>(b) & 0xC0) != 0x80) ++text.size_;
    }
  } else {
    text.size_ = bytes.size();
  }
  text.bytes_ = std::move(bytes);
  return text;
}

void EncodedText::append(const EncodedText& other) {
  if (other.charset_ != charset_) {
    throw std::invalid_argument("cannot append " + std::string(charsetName(other.charset_)) +
                                " text to " + std::string(charsetName(charset_)) + " text");
  }
  bytes_ += other.bytes_;
  size_ += other.size_;
}

std::size_t EncodedText::byteOffset(std::size_t index) const {
  if (index >= size_) return bytes_.size();
  if (charset_ != Charset::Utf8) return index;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if ((static_cast<unsigned char>(bytes_[i]) & 0xC0) != 0x80) {
      if (seen == index) return i;
      ++seen;
    }
  }
  return bytes_.size();
}

void EncodedText::truncate(std::size_t count) {
  if (count >= size_) return;
  bytes_.resize(byteOffset(count));
  size_ = count;
}

void EncodedText::trimSpaces() {
  // A space is one byte and one character in every charset.
  const std::size_t last = bytes_.find_last_not_of(' ');
  if (last == std::string::npos) {
    bytes_.clear();
    size_ = 0;
    return;
  }
  size_ -= bytes_.size() - (last + 1);
  bytes_.resize(last + 1);
  const std::size_t first = bytes_.find_first_not_of(' ');
  size_ -= first;
  bytes_.erase(0, first);
}

}  // namespace varnok::nowplaying
