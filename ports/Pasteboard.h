// The system clipboard as the pasteboard watcher sees it: a change counter, the
// offered types, the plain text, a way to replace the contents with plain text,
// and the identifier of the application in front.
//
// Thread-safety: changeCount(), types(), string() and frontmostApplicationID()
// are called by one thread at a time (the watcher's poll thread; the watcher's
// constructor reads changeCount() once on the main thread before that thread
// exists). writeString() is called on the main thread and may run at the same
// time as any of the others. None of them throws; a failure reads as "nothing"
// (an unchanged count, no types, no text, no identifier).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sorvane {

class Pasteboard {
public:
    virtual ~Pasteboard() = default;

    // A counter that moves whenever the clipboard changes hands, including
    // through writeString(). Cheap: the watcher reads it every poll period.
    virtual int64_t changeCount() = 0;
    // The type identifiers the current contents are offered as, in the order
    // the owner lists them; empty when the clipboard is empty or does not answer.
    virtual std::vector<std::string> types() = 0;
    // The contents as plain UTF-8 text; absent when they are not text (an
    // image, files) or cannot be read.
    virtual std::optional<std::string> string() = 0;
    // Replaces the contents with `text` as plain text only. Once it returns,
    // the change is visible to changeCount() and to other applications.
    virtual void writeString(const std::string& text) = 0;
    // The identifier of the application in front (the bundle identifier, or
    // what stands in for it on this platform); absent when unknown.
    virtual std::optional<std::string> frontmostApplicationID() = 0;
};

} // namespace sorvane
