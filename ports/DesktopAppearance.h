// The desktop's choice between light and dark windows, which the program's own
// windows follow.
//
// Thread-safety: colorScheme() and setOnChange() are called on the main thread,
// and the change callback runs there.
#pragma once

#include <functional>
#include <optional>

namespace sorvane {

enum class ColorScheme { light, dark };

class DesktopAppearance {
public:
    virtual ~DesktopAppearance() = default;

    // The scheme the desktop states now; absent when it says nothing. Windows
    // are light then; a tray symbol, whose tray may be of any colour, cannot
    // assume so.
    virtual std::optional<ColorScheme> statedColorScheme() const = 0;
    // The scheme the windows take: the stated one, or light.
    ColorScheme colorScheme() const { return statedColorScheme().value_or(ColorScheme::light); }
    // `onChange` runs with the windows' scheme each time what the desktop
    // states changes while the program runs.
    virtual void setOnChange(std::function<void(ColorScheme)> onChange) = 0;
};

} // namespace sorvane
