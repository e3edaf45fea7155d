#include "link/link_ref.h"

#include "link/vbt_comms.h"

namespace cvx {

TLinkRef::TLinkRef(TVBTComms* link) : link_(link), alive_(link ? link->LifeToken() : std::weak_ptr<const bool>()) {}

} // namespace cvx
