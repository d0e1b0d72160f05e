#pragma once

#include <QtCore/qnamespace.h>
#include <cstdint>
#include <optional>

// The one table from Qt keys to the key codes of the terminal's key records,
// and the modifier bits that go with them: Ctrl is the terminal's Control,
// Alt its Option, Super its Command.
namespace TerminalKeys {

// The key code for a Qt key; keypad keys have codes of their own.
std::optional<uint32_t> keyCode(int qtKey, Qt::KeyboardModifiers modifiers);

// The key record's modifier bits.
int32_t modifierBits(Qt::KeyboardModifiers modifiers);

// The character of the key without Shift (US layout), 0 when it has none.
uint32_t unshiftedCodepoint(int qtKey);

} // namespace TerminalKeys
