// Reads an appcast: an RSS 2.0 feed whose <item>s carry Sparkle's elements.
// A feed that declares a DTD is refused, so no entity, internal or external,
// is ever expanded.
#pragma once

#include "ports/Updates.h"

#include <QByteArray>

namespace sorvane {

inline constexpr const char* kSparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";

// The items in document order, or why the feed cannot be read.
FeedResult parseAppcast(const QByteArray& xml);

} // namespace sorvane
