#include "TerminalKeys.h"

#include "tessaron_term_abi.h"

#include <QHash>

namespace TerminalKeys {

namespace {

    struct Entry
    {
        int qtKey;
        uint32_t code;
        uint32_t unshifted; // 0: the key types nothing by itself
    };

    // Physical keys by their key codes; shifted symbols share their key's code.
    constexpr Entry kKeys[] = {
        {Qt::Key_A, 0, 'a'},
        {Qt::Key_S, 1, 's'},
        {Qt::Key_D, 2, 'd'},
        {Qt::Key_F, 3, 'f'},
        {Qt::Key_H, 4, 'h'},
        {Qt::Key_G, 5, 'g'},
        {Qt::Key_Z, 6, 'z'},
        {Qt::Key_X, 7, 'x'},
        {Qt::Key_C, 8, 'c'},
        {Qt::Key_V, 9, 'v'},
        {Qt::Key_B, 11, 'b'},
        {Qt::Key_Q, 12, 'q'},
        {Qt::Key_W, 13, 'w'},
        {Qt::Key_E, 14, 'e'},
        {Qt::Key_R, 15, 'r'},
        {Qt::Key_Y, 16, 'y'},
        {Qt::Key_T, 17, 't'},
        {Qt::Key_1, 18, '1'},
        {Qt::Key_Exclam, 18, '1'},
        {Qt::Key_2, 19, '2'},
        {Qt::Key_At, 19, '2'},
        {Qt::Key_3, 20, '3'},
        {Qt::Key_NumberSign, 20, '3'},
        {Qt::Key_4, 21, '4'},
        {Qt::Key_Dollar, 21, '4'},
        {Qt::Key_6, 22, '6'},
        {Qt::Key_AsciiCircum, 22, '6'},
        {Qt::Key_5, 23, '5'},
        {Qt::Key_Percent, 23, '5'},
        {Qt::Key_Equal, 24, '='},
        {Qt::Key_Plus, 24, '='},
        {Qt::Key_9, 25, '9'},
        {Qt::Key_ParenLeft, 25, '9'},
        {Qt::Key_7, 26, '7'},
        {Qt::Key_Ampersand, 26, '7'},
        {Qt::Key_Minus, 27, '-'},
        {Qt::Key_Underscore, 27, '-'},
        {Qt::Key_8, 28, '8'},
        {Qt::Key_Asterisk, 28, '8'},
        {Qt::Key_0, 29, '0'},
        {Qt::Key_ParenRight, 29, '0'},
        {Qt::Key_BracketRight, 30, ']'},
        {Qt::Key_BraceRight, 30, ']'},
        {Qt::Key_O, 31, 'o'},
        {Qt::Key_U, 32, 'u'},
        {Qt::Key_BracketLeft, 33, '['},
        {Qt::Key_BraceLeft, 33, '['},
        {Qt::Key_I, 34, 'i'},
        {Qt::Key_P, 35, 'p'},
        {Qt::Key_Return, 36, '\r'},
        {Qt::Key_L, 37, 'l'},
        {Qt::Key_J, 38, 'j'},
        {Qt::Key_Apostrophe, 39, '\''},
        {Qt::Key_QuoteDbl, 39, '\''},
        {Qt::Key_K, 40, 'k'},
        {Qt::Key_Semicolon, 41, ';'},
        {Qt::Key_Colon, 41, ';'},
        {Qt::Key_Backslash, 42, '\\'},
        {Qt::Key_Bar, 42, '\\'},
        {Qt::Key_Comma, 43, ','},
        {Qt::Key_Less, 43, ','},
        {Qt::Key_Slash, 44, '/'},
        {Qt::Key_Question, 44, '/'},
        {Qt::Key_N, 45, 'n'},
        {Qt::Key_M, 46, 'm'},
        {Qt::Key_Period, 47, '.'},
        {Qt::Key_Greater, 47, '.'},
        {Qt::Key_Tab, 48, '\t'},
        {Qt::Key_Backtab, 48, '\t'},
        {Qt::Key_Space, 49, ' '},
        {Qt::Key_QuoteLeft, 50, '`'},
        {Qt::Key_AsciiTilde, 50, '`'},
        {Qt::Key_Backspace, 51, 0},
        {Qt::Key_Escape, 53, 0},
        {Qt::Key_Enter, 76, '\r'},
        {Qt::Key_F5, 96, 0},
        {Qt::Key_F6, 97, 0},
        {Qt::Key_F7, 98, 0},
        {Qt::Key_F3, 99, 0},
        {Qt::Key_F8, 100, 0},
        {Qt::Key_F9, 101, 0},
        {Qt::Key_F11, 103, 0},
        {Qt::Key_F13, 105, 0},
        {Qt::Key_F14, 107, 0},
        {Qt::Key_F10, 109, 0},
        {Qt::Key_F12, 111, 0},
        {Qt::Key_F15, 113, 0},
        {Qt::Key_Insert, 114, 0},
        {Qt::Key_Help, 114, 0},
        {Qt::Key_Home, 115, 0},
        {Qt::Key_PageUp, 116, 0},
        {Qt::Key_Delete, 117, 0},
        {Qt::Key_F4, 118, 0},
        {Qt::Key_End, 119, 0},
        {Qt::Key_F2, 120, 0},
        {Qt::Key_PageDown, 121, 0},
        {Qt::Key_F1, 122, 0},
        {Qt::Key_Left, 123, 0},
        {Qt::Key_Right, 124, 0},
        {Qt::Key_Down, 125, 0},
        {Qt::Key_Up, 126, 0},
    };

    // The numeric pad's own keys.
    constexpr Entry kKeypad[] = {
        {Qt::Key_Period, 65, '.'},
        {Qt::Key_Asterisk, 67, '*'},
        {Qt::Key_Plus, 69, '+'},
        {Qt::Key_Clear, 71, 0},
        {Qt::Key_Slash, 75, '/'},
        {Qt::Key_Enter, 76, '\r'},
        {Qt::Key_Minus, 78, '-'},
        {Qt::Key_Equal, 81, '='},
        {Qt::Key_0, 82, '0'},
        {Qt::Key_1, 83, '1'},
        {Qt::Key_2, 84, '2'},
        {Qt::Key_3, 85, '3'},
        {Qt::Key_4, 86, '4'},
        {Qt::Key_5, 87, '5'},
        {Qt::Key_6, 88, '6'},
        {Qt::Key_7, 89, '7'},
        {Qt::Key_8, 91, '8'},
        {Qt::Key_9, 92, '9'},
    };

    template<size_t N> QHash<int, Entry> index(const Entry (&entries)[N])
    {
        QHash<int, Entry> table;
        for (const Entry &entry : entries)
            table.insert(entry.qtKey, entry);
        return table;
    }

    const QHash<int, Entry> &keys()
    {
        static const QHash<int, Entry> table = index(kKeys);
        return table;
    }

    const QHash<int, Entry> &keypad()
    {
        static const QHash<int, Entry> table = index(kKeypad);
        return table;
    }

} // namespace

std::optional<uint32_t> keyCode(int qtKey, Qt::KeyboardModifiers modifiers)
{
    if (modifiers & Qt::KeypadModifier) {
        const auto it = keypad().constFind(qtKey);
        if (it != keypad().constEnd())
            return it->code;
    }
    const auto it = keys().constFind(qtKey);
    if (it == keys().constEnd())
        return std::nullopt;
    return it->code;
}

int32_t modifierBits(Qt::KeyboardModifiers modifiers)
{
    int32_t bits = 0;
    if (modifiers & Qt::ShiftModifier)
        bits |= TESSARON_TERM_MOD_SHIFT;
    if (modifiers & Qt::ControlModifier)
        bits |= TESSARON_TERM_MOD_CTRL;
    if (modifiers & Qt::AltModifier)
        bits |= TESSARON_TERM_MOD_ALT;
    if (modifiers & Qt::MetaModifier)
        bits |= TESSARON_TERM_MOD_SUPER;
    if (modifiers & Qt::KeypadModifier)
        bits |= TESSARON_TERM_MOD_NUMPAD;
    return bits;
}

uint32_t unshiftedCodepoint(int qtKey)
{
    const auto it = keys().constFind(qtKey);
    if (it != keys().constEnd())
        return it->unshifted;
    if (qtKey > 0x7F && qtKey < 0x01000000)
        return QChar::toLower(char32_t(qtKey));
    return 0;
}

} // namespace TerminalKeys
