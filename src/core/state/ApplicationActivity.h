#pragma once

#include <functional>

// What the state asks of the windowing side: whether the application is the
// active one (the cloud poll spaces its timer polls while it is not) and
// whether it has a window a sign-in can belong to. main.cpp fills both from
// the GUI; unset, the application counts as active with a window.
struct ApplicationActivity
{
    std::function<bool()> isActive;
    std::function<bool()> hasWindow;

    bool active() const { return !isActive || isActive(); }
    bool windowShown() const { return !hasWindow || hasWindow(); }
};
