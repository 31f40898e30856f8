#include "keying/CodeTable.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using quindle::CodeKind;
using quindle::lookupCode;

// Every listed character with its elements, written out independently of the table.
const std::map<int, std::string> kExpected = {
    {'A', ".-"},    {'B', "-..."},  {'C', "-.-."},  {'D', "-.."},   {'E', "."},     {'F', "..-."},
    {'G', "--."},   {'H', "...."},  {'I', ".."},    {'J', ".---"},  {'K', "-.-"},   {'L', ".-.."},
    {'M', "--"},    {'N', "-."},    {'O', "---"},   {'P', ".--."},  {'Q', "--.-"},  {'R', ".-."},
    {'S', "..."},   {'T', "-"},     {'U', "..-"},   {'V', "...-"},  {'W', ".--"},   {'X', "-..-"},
    {'Y', "-.--"},  {'Z', "--.."},  {'0', "-----"}, {'1', ".----"}, {'2', "..---"}, {'3', "...--"},
    {'4', "....-"}, {'5', "....."}, {'6', "-...."}, {'7', "--..."}, {'8', "---.."}, {'9', "----."},
    {34, ".-..-."}, {39, ".----."}, {44, "--..--"}, {45, "-....-"}, {46, ".-.-.-"}, {47, "-..-."},
    {58, "---..."}, {61, "-...-"},  {63, "..--.."}, {64, ".--.-."}, {193, ".--.-"}, {196, ".-.-"},
    {197, ".--.-"}, {201, "..-.."}, {209, "--.--"}, {214, "---."},  {220, "..--"},
};

TEST(CodeTable, EveryCodeHasItsEntry)
{
    for (int code = 0; code < 256; ++code) {
        SCOPED_TRACE(code);
        const auto entry = lookupCode(uint16_t(code));
        if (code == 32 || code == 13 || code == 10) {
            EXPECT_EQ(entry.kind, CodeKind::WordSpace);
            EXPECT_TRUE(entry.elements.empty());
        } else if (const auto it = kExpected.find(code); it != kExpected.end()) {
            EXPECT_EQ(entry.kind, CodeKind::Elements);
            EXPECT_EQ(std::string(entry.elements), it->second);
        } else {
            EXPECT_EQ(entry.kind, CodeKind::Unlisted);
        }
    }
    EXPECT_EQ(quindle::listedCodeCount(), 56);
}

TEST(CodeTable, CodesBeyondAByteAreUnlisted)
{
    for (int code : {256, 300, 0x1C1, 0xFFFF})
        EXPECT_EQ(lookupCode(uint16_t(code)).kind, CodeKind::Unlisted) << code;
}

} // namespace
