// The desktop's choice between light and dark windows, which the program's own
// windows follow.
//
// Thread-safety: colorScheme() and setOnChange() are called on the main thread,
// and the change callback runs there.
#pragma once

#include <functional>

namespace sorvane {

enum class ColorScheme { light, dark };

class DesktopAppearance {
public:
    virtual ~DesktopAppearance() = default;

    // The scheme the desktop asks for now; light when it says nothing.
    virtual ColorScheme colorScheme() const = 0;
    // `onChange` runs with the new scheme each time the desktop's choice
    // changes while the program runs.
    virtual void setOnChange(std::function<void(ColorScheme)> onChange) = 0;
};

} // namespace sorvane
