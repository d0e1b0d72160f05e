// The library's app and configuration objects.
#pragma once

#include "KeyEncoder.h"
#include "tessaron_term_abi.h"

#include <vector>

namespace termlib {

class TermSurface;

struct TermConfig
{
    Keybinds keybinds;
    bool finalized = false;
};

class TermApp
{
public:
    TermApp(const tessaron_term_runtime_config &runtime, const TermConfig &config)
        : runtime(runtime), keybinds(config.keybinds)
    {
    }
    void tick();

    const tessaron_term_runtime_config runtime;
    const Keybinds keybinds;
    std::vector<TermSurface *> surfaces;
};

} // namespace termlib
