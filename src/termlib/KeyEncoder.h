// Turns the bridge's key records into the bytes a terminal program reads,
// through libvterm and the keybind file's text bindings.
#pragma once

#include "tessaron_term_abi.h"

#include <cstdint>
#include <map>
#include <string>

struct VTerm;

namespace termlib {

// "keybind = ctrl+a=text:\x01" lines: a trigger (modifier bits and a lower-case
// character) and the bytes it sends.
class Keybinds
{
public:
    // Reads one configuration file's text; lines it does not understand are skipped.
    void load(const std::string &text);
    // The bound bytes for a trigger, or null.
    const std::string *find(int32_t mods, uint32_t character) const;
    bool empty() const { return m_bindings.empty(); }

private:
    std::map<std::pair<int32_t, uint32_t>, std::string> m_bindings;
};

// Decodes the escapes of a bound text: \xNN, \\, \n, \r, \t, \e.
std::string decodeBoundText(const std::string &text);

// Encodes one key record; true when it produced input for the program.
bool encodeKey(VTerm *vt, const Keybinds &keybinds, const tessaron_term_key &key, std::string &direct);

} // namespace termlib
