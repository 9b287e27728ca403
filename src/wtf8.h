// Names as Windows stores them (UTF-16, where a lone surrogate is allowed)
// and as vork carries them inside (WTF-8: UTF-8 that encodes a lone
// surrogate like any other code point), converted both ways exactly.
#pragma once

#include <string>
#include <string_view>

namespace vork {

// Returns `text` as UTF-16; a byte that begins no sequence becomes U+FFFD,
// which can only name a file whose name holds U+FFFD where that byte was.
std::u16string utf16_from_wtf8(std::string_view text);

// Returns `text` as WTF-8: a paired surrogate as its code point, a lone one
// as itself, so that utf16_from_wtf8 gives `text` back unchanged.
std::string wtf8_from_utf16(std::u16string_view text);

}  // namespace vork
