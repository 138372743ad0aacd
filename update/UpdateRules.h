// The updater's decisions, apart from the network and the windows: how two
// versions compare, which feed item to offer, when the daily check is due, and
// release notes turned into plain text.
#pragma once

#include "base/Bytes.h"
#include "ports/Updates.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane::update {

// Negative, zero or positive as `a` is older than, the same as or newer than
// `b`. Versions are read as runs of digits (compared as numbers) and runs of
// other characters (compared as text, ignoring ASCII case); '.', '-', '_', '+'
// and spaces only separate. A number outranks text in the same place, so
// "1.2.1" is newer than "1.2.beta"; missing trailing numbers count as 0
// ("1.2" equals "1.2.0"), and a release outranks the same version with a
// text suffix ("1.2" is newer than "1.2rc1").
int compareVersions(std::string_view a, std::string_view b);

// The newest item newer than `current` whose version is not `skipped`; none
// when there is no such item. Items without a version are passed over.
std::optional<AppcastItem> chooseUpdate(const std::vector<AppcastItem>& items, std::string_view current,
                                        std::string_view skipped);

inline constexpr int64_t kSecondsBetweenAutomaticChecks = 24 * 60 * 60;

// An automatic check runs when none has run yet, when a day has passed since
// the last, or when the last lies in the future (the clock was set back).
bool isAutomaticCheckDue(std::optional<int64_t> lastCheckSeconds, int64_t nowSeconds);

// HTML release notes as plain text: tags dropped (with scripts and styles and
// what they hold), line breaks for <br>, paragraphs, headings and list items,
// entities decoded, runs of blank lines shortened. Plain text passes through.
std::string plainTextReleaseNotes(std::string_view html);

// Standard base64 with padding; whitespace is ignored. None on any other
// character, a wrong length or bits left over.
std::optional<Bytes> decodeBase64(std::string_view text);

} // namespace sorvane::update
