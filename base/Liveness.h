// A token that tells a posted callback whether its owner is still alive.
//
// The owner holds a Liveness; callbacks capture watch() and check alive() on the
// thread that ends the owner (usually the main thread) before touching it.
// Checking on another thread only says the owner was alive a moment ago.
//
// Thread-safety: watch() and alive() may be called from any thread, also while
// end() runs; end() and the destructor belong to the owner's thread.
#pragma once

#include <memory>

namespace sorvane {

class Liveness {
public:
    class Watch {
    public:
        Watch() = default;
        bool alive() const { return !m_token.expired(); }
        explicit operator bool() const { return alive(); }

    private:
        friend class Liveness;
        explicit Watch(std::weak_ptr<const int> token) : m_token(std::move(token)) {}
        std::weak_ptr<const int> m_token;
    };

    Liveness() = default;
    Liveness(const Liveness&) = delete;
    Liveness& operator=(const Liveness&) = delete;

    Watch watch() const { return Watch(m_watched); }
    // Ends the owner's life early, before its members are torn down.
    void end() { m_token.reset(); }

private:
    std::shared_ptr<const int> m_token = std::make_shared<const int>(0);
    // Copied by watch(); never written after construction, so copying it does
    // not race with end() resetting m_token.
    const std::weak_ptr<const int> m_watched = m_token;
};

} // namespace sorvane
