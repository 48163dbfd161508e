// The pool's entry point below the attribution step, for tests of the verifier's bookkeeping: an
// allocation made as if by the driver whose service name is given ("" = host code).
#pragma once

#include "hk_internal.h"

#include <string>

namespace hk::internal {

void *PoolAllocateAs(POOL_TYPE type, size_t size, ULONG tag, AllocKind kind, const std::string &service,
                     const void *caller);

} // namespace hk::internal
