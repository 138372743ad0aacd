// Case-insensitive search of a clipboard text for what the user typed.
//
// The needle is already folded (normalizedQuery). An ASCII needle is looked for
// byte by byte in the text as it is, folding ASCII letters on the fly: no copy
// of the text is made, so searching the whole of a long history costs no memory
// (ASCII letters fold the same under Unicode lower case; the few non-ASCII
// characters whose lower case is ASCII, such as the Kelvin sign, are not matched
// by an ASCII needle). A needle with other characters folds the text with
// Unicode lower case first.
#pragma once

#include <string_view>

namespace sorvane {

bool containsFolded(std::string_view text, std::string_view foldedNeedle);

} // namespace sorvane
