#pragma once
// A link owned elsewhere, held by a component that may outlive it: empty from the moment
// the link starts being destroyed (with it went every request, and no callback comes).

#include <memory>

namespace cvx {

class TVBTComms;

class TLinkRef {
public:
    TLinkRef() = default;
    TLinkRef(TVBTComms* link);
    TVBTComms* get() const
    {
        const auto alive = alive_.lock();
        return alive && *alive ? link_ : nullptr;
    }
    TVBTComms* operator->() const { return get(); }
    explicit operator bool() const { return get() != nullptr; }
    // Set to a link that is gone now.
    bool lost() const { return link_ && !get(); }

private:
    TVBTComms* link_ = nullptr;
    std::weak_ptr<const bool> alive_;
};

} // namespace cvx
