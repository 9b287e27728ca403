// Windows names go to WTF-8 and back exactly: no name turns into another.
#include <gtest/gtest.h>

#include "wtf8.h"

namespace {

TEST(Wtf8, NamesGoBothWaysExactly) {
    const struct {
        std::u16string utf16;
        std::string wtf8;
    } names[] = {
        {u"GAME.BIN", "GAME.BIN"},
        {u"DÉMO é.raw", "DÉMO é.raw"},
        {u"図形\U0001F600.bin", "図形\U0001F600.bin"},  // a surrogate pair is one code point
        {u"keep\xDC00.bin", "keep\xED\xB0\x80.bin"},   // a lone surrogate stays itself...
        {u"keep\xFFFD.bin", "keep\xEF\xBF\xBD.bin"},   // ... never this look-alike
        {u"end\xD800", "end\xED\xA0\x80"},
        {u"\U00010000.bin", "\xF0\x90\x80\x80.bin"},   // the first pair of the astral planes
        {u"\U0010FFFF.bin", "\xF4\x8F\xBF\xBF.bin"},   // ... and the last, DBFF DFFF
        {u"\xD800\xE000", "\xED\xA0\x80\xEE\x80\x80"},  // a high surrogate, then no low one
    };
    for (const auto& name : names) {
        EXPECT_EQ(vork::wtf8_from_utf16(name.utf16), name.wtf8);
        EXPECT_EQ(vork::utf16_from_wtf8(name.wtf8), name.utf16) << name.wtf8;
    }
    EXPECT_EQ(vork::utf16_from_wtf8("a\xFF" "b"), u"a\xFFFD" "b");  // no sequence: no file's name
    EXPECT_EQ(vork::utf16_from_wtf8("\xC3" "A"), u"\xFFFD" "A");   // a sequence cut short
}

}  // namespace
