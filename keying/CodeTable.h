#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace quindle {

// What Send does with a character code.
enum class CodeKind : uint8_t {
    Unlisted,  // no sound, no gap
    Elements,  // dots and dashes, then the letter gap
    WordSpace, // the word gap, then the letter gap
};

struct CodeEntry {
    CodeKind kind = CodeKind::Unlisted;
    // Elements in sending order: '.' a dot, '-' a dash. Empty unless kind is Elements.
    std::string_view elements;
};

namespace detail {

constexpr std::array<CodeEntry, 256> makeCodeTable()
{
    std::array<CodeEntry, 256> table{};
    constexpr std::string_view letters[26] = {
        ".-", "-...", "-.-.", "-..",  ".",   "..-.", "--.", "....", "..",   ".---", "-.-",  ".-..", "--",
        "-.", "---",  ".--.", "--.-", ".-.", "...",  "-",   "..-",  "...-", ".--",  "-..-", "-.--", "--..",
    };
    constexpr std::string_view figures[10] = {
        "-----", ".----", "..---", "...--", "....-", ".....", "-....", "--...", "---..", "----.",
    };
    for (int i = 0; i < 26; ++i)
        table[65 + i] = {CodeKind::Elements, letters[i]};
    for (int i = 0; i < 10; ++i)
        table[48 + i] = {CodeKind::Elements, figures[i]};

    struct Extra {
        uint8_t code;
        std::string_view elements;
    };
    constexpr Extra extras[] = {
        // Punctuation
        {34, ".-..-."},
        {39, ".----."},
        {44, "--..--"},
        {45, "-....-"},
        {46, ".-.-.-"},
        {47, "-..-."},
        {58, "---..."},
        {61, "-...-"},
        {63, "..--.."},
        {64, ".--.-."},
        // Accented capitals (Windows-1252); Á and Å share one sequence.
        {193, ".--.-"},
        {196, ".-.-"},
        {197, ".--.-"},
        {201, "..-.."},
        {209, "--.--"},
        {214, "---."},
        {220, "..--"},
    };
    for (const Extra& e : extras)
        table[e.code] = {CodeKind::Elements, e.elements};

    table[32] = {CodeKind::WordSpace, {}};
    table[13] = {CodeKind::WordSpace, {}};
    table[10] = {CodeKind::WordSpace, {}};
    return table;
}

} // namespace detail

// The fixed code table, indexed by Windows-1252 code. Only upper-case letters are listed.
inline constexpr std::array<CodeEntry, 256> kCodeTable = detail::makeCodeTable();

// Codes above 255 cannot come from a byte; they read as unlisted.
constexpr CodeEntry lookupCode(uint16_t code)
{
    return code < kCodeTable.size() ? kCodeTable[code] : CodeEntry{};
}

// Number of listed codes (element sequences and word spaces).
int listedCodeCount();

} // namespace quindle
