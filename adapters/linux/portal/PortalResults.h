// Reading what the desktop portal sends: the results of its requests and the
// arguments of its signals. Anything of another shape reads as absent (or
// false), with a log line for a signal that cannot be read.
//
// Thread-safety: pure functions over the caller's values (the portal thread).
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sorvane::portalresults {

using Options = std::map<std::string, sdbus::Variant>;
// a(sa{sv}): shortcuts by id, with their properties.
using ShortcutList = std::vector<sdbus::Struct<std::string, Options>>;

// True for the errors of a portal (or bus) without the interface asked for.
bool lacksInterface(const std::string& errorName);

// The "session_handle" of CreateSession's results (sent as a string or an
// object path).
std::optional<std::string> sessionHandle(const Options& results);
// A string held under `key`.
std::optional<std::string> stringValue(const Options& results, const std::string& key);
// A uint32 held under `key`.
std::optional<uint32_t> uint32Value(const Options& results, const std::string& key);

// The shortcut list held under "shortcuts" of BindShortcuts' results.
std::optional<ShortcutList> shortcutList(const Options& results);
// The "trigger_description" of shortcut `id` in `list`.
std::optional<std::string> triggerDescription(const ShortcutList& list, const std::string& id);

// Activated (o s t a{sv}): the session and the shortcut's id.
bool readSessionAndId(sdbus::Message& msg, sdbus::ObjectPath& session, std::string& id);
// ShortcutsChanged (o a(sa{sv})).
bool readSessionAndShortcuts(sdbus::Message& msg, sdbus::ObjectPath& session, ShortcutList& list);

} // namespace sorvane::portalresults
