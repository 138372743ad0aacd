#include "protocol/Uuids.h"

#include "base/Text.h"

namespace sorvane {

bool uuidEquals(std::string_view a, std::string_view b) { return equalsIgnoringAsciiCase(a, b); }

} // namespace sorvane
