#include "KeyEncoder.h"

#include <cctype>
#include <vterm.h>

namespace termlib {

namespace {

    constexpr int32_t kModifierMask
        = TESSARON_TERM_MOD_SHIFT | TESSARON_TERM_MOD_CTRL | TESSARON_TERM_MOD_ALT | TESSARON_TERM_MOD_SUPER;

    std::string trim(const std::string &text)
    {
        const auto begin = text.find_first_not_of(" \t\r\n");
        if (begin == std::string::npos)
            return {};
        const auto end = text.find_last_not_of(" \t\r\n");
        return text.substr(begin, end - begin + 1);
    }

    bool parseTrigger(const std::string &trigger, int32_t &mods, uint32_t &character)
    {
        mods = 0;
        size_t start = 0;
        while (true) {
            const size_t plus = trigger.find('+', start);
            const std::string part
                = trigger.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
            if (plus == std::string::npos) {
                if (part.size() != 1)
                    return false;
                character = uint32_t(std::tolower(static_cast<unsigned char>(part[0])));
                return true;
            }
            if (part == "ctrl" || part == "control")
                mods |= TESSARON_TERM_MOD_CTRL;
            else if (part == "shift")
                mods |= TESSARON_TERM_MOD_SHIFT;
            else if (part == "alt" || part == "opt" || part == "option")
                mods |= TESSARON_TERM_MOD_ALT;
            else if (part == "super" || part == "cmd" || part == "command")
                mods |= TESSARON_TERM_MOD_SUPER;
            else
                return false;
            start = plus + 1;
        }
    }

    // The special keys by the key codes of the key records.
    bool specialKey(uint32_t keycode, VTermKey &key)
    {
        switch (keycode) {
        case 36:
            key = VTERM_KEY_ENTER;
            return true;
        case 76:
            key = VTERM_KEY_ENTER;
            return true; // keypad Enter counts as Return
        case 48:
            key = VTERM_KEY_TAB;
            return true;
        case 51:
            key = VTERM_KEY_BACKSPACE;
            return true;
        case 53:
            key = VTERM_KEY_ESCAPE;
            return true;
        case 117:
            key = VTERM_KEY_DEL;
            return true;
        case 114:
            key = VTERM_KEY_INS;
            return true;
        case 115:
            key = VTERM_KEY_HOME;
            return true;
        case 119:
            key = VTERM_KEY_END;
            return true;
        case 116:
            key = VTERM_KEY_PAGEUP;
            return true;
        case 121:
            key = VTERM_KEY_PAGEDOWN;
            return true;
        case 123:
            key = VTERM_KEY_LEFT;
            return true;
        case 124:
            key = VTERM_KEY_RIGHT;
            return true;
        case 125:
            key = VTERM_KEY_DOWN;
            return true;
        case 126:
            key = VTERM_KEY_UP;
            return true;
        case 122:
            key = VTermKey(VTERM_KEY_FUNCTION(1));
            return true;
        case 120:
            key = VTermKey(VTERM_KEY_FUNCTION(2));
            return true;
        case 99:
            key = VTermKey(VTERM_KEY_FUNCTION(3));
            return true;
        case 118:
            key = VTermKey(VTERM_KEY_FUNCTION(4));
            return true;
        case 96:
            key = VTermKey(VTERM_KEY_FUNCTION(5));
            return true;
        case 97:
            key = VTermKey(VTERM_KEY_FUNCTION(6));
            return true;
        case 98:
            key = VTermKey(VTERM_KEY_FUNCTION(7));
            return true;
        case 100:
            key = VTermKey(VTERM_KEY_FUNCTION(8));
            return true;
        case 101:
            key = VTermKey(VTERM_KEY_FUNCTION(9));
            return true;
        case 109:
            key = VTermKey(VTERM_KEY_FUNCTION(10));
            return true;
        case 103:
            key = VTermKey(VTERM_KEY_FUNCTION(11));
            return true;
        case 111:
            key = VTermKey(VTERM_KEY_FUNCTION(12));
            return true;
        default:
            return false;
        }
    }

    VTermModifier vtermModifiers(int32_t mods)
    {
        int result = VTERM_MOD_NONE;
        if (mods & TESSARON_TERM_MOD_SHIFT)
            result |= VTERM_MOD_SHIFT;
        if (mods & TESSARON_TERM_MOD_CTRL)
            result |= VTERM_MOD_CTRL;
        if (mods & TESSARON_TERM_MOD_ALT)
            result |= VTERM_MOD_ALT;
        return VTermModifier(result);
    }

    // Decodes UTF-8; invalid bytes become U+FFFD.
    std::u32string decodeUtf8(const char *text)
    {
        std::u32string out;
        const auto *p = reinterpret_cast<const unsigned char *>(text);
        while (*p) {
            uint32_t c = *p;
            int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
            if (extra < 0) {
                out.push_back(0xFFFD);
                ++p;
                continue;
            }
            uint32_t value = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
            int i = 1;
            for (; i <= extra; ++i) {
                if ((p[i] & 0xC0) != 0x80)
                    break;
                value = (value << 6) | (p[i] & 0x3F);
            }
            if (i <= extra) {
                out.push_back(0xFFFD);
                p += i;
                continue;
            }
            out.push_back(value);
            p += extra + 1;
        }
        return out;
    }

} // namespace

void Keybinds::load(const std::string &text)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos || trim(line.substr(0, equals)) != "keybind")
            continue;
        const std::string binding = trim(line.substr(equals + 1));
        const size_t split = binding.find('=');
        if (split == std::string::npos)
            continue;
        const std::string action = binding.substr(split + 1);
        if (action.rfind("text:", 0) != 0)
            continue;
        int32_t mods = 0;
        uint32_t character = 0;
        if (!parseTrigger(trim(binding.substr(0, split)), mods, character))
            continue;
        m_bindings[{mods, character}] = decodeBoundText(action.substr(5));
    }
}

const std::string *Keybinds::find(int32_t mods, uint32_t character) const
{
    if (character < 0x80)
        character = uint32_t(std::tolower(int(character)));
    const auto it = m_bindings.find({mods & kModifierMask, character});
    return it == m_bindings.end() ? nullptr : &it->second;
}

std::string decodeBoundText(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); };
        if (next == 'x' && i + 2 < text.size() && hex(text[i + 1]) && hex(text[i + 2])) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else if (next == 'n') {
            out += '\n';
        } else if (next == 'r') {
            out += '\r';
        } else if (next == 't') {
            out += '\t';
        } else if (next == 'e') {
            out += '\x1b';
        } else if (next == '\\') {
            out += '\\';
        } else {
            out += '\\';
            out += next;
        }
    }
    return out;
}

bool encodeKey(VTerm *vt, const Keybinds &keybinds, const tessaron_term_key &key, std::string &direct)
{
    if (key.composing)
        return false;
    const int32_t mods = key.mods & kModifierMask;
    // Super (the terminal's Command) sends nothing to the program itself.
    if (mods & TESSARON_TERM_MOD_SUPER)
        return false;

    if (key.unshifted_codepoint) {
        if (const std::string *bound = keybinds.find(mods, key.unshifted_codepoint)) {
            direct = *bound;
            return true;
        }
    }

    VTermKey special;
    if (specialKey(key.keycode, special)) {
        vterm_keyboard_key(vt, special, vtermModifiers(mods));
        return true;
    }

    const std::u32string text = key.text ? decodeUtf8(key.text) : std::u32string();
    const bool controlText = text.size() == 1 && (text[0] < 0x20 || text[0] == 0x7F);
    if ((mods & (TESSARON_TERM_MOD_CTRL | TESSARON_TERM_MOD_ALT)) && key.unshifted_codepoint
        && (text.empty() || controlText || (mods & TESSARON_TERM_MOD_CTRL))) {
        // Control and Option chords encode the unshifted key with the modifiers.
        uint32_t c = key.unshifted_codepoint;
        if ((mods & TESSARON_TERM_MOD_SHIFT) && !text.empty() && !controlText)
            c = text[0];
        vterm_keyboard_unichar(vt, c, vtermModifiers(mods));
        return true;
    }
    if (text.empty())
        return false;
    if (controlText) {
        direct.push_back(char(text[0]));
        return true;
    }
    const VTermModifier alt = (mods & TESSARON_TERM_MOD_ALT) ? VTERM_MOD_ALT : VTERM_MOD_NONE;
    for (char32_t c : text) {
        if (c >= 0xE000 && c <= 0xF8FF)
            continue; // platform function-key characters carry nothing to type
        vterm_keyboard_unichar(vt, uint32_t(c), alt);
    }
    return true;
}

} // namespace termlib
