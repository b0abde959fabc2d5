// Transparent huge pages for buffers streamed from memory again and again:
// on 4 KiB pages such a stream takes a TLB miss at every page, and the
// first touch of every page is a fault of its own.
#pragma once

#include <cstddef>

namespace tarnwick {

// Asks the system to back the whole 2 MiB pages of [p, p + bytes) with huge
// pages; called before their first write. Advice only: where it is not
// granted (or on other systems), nothing changes.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

}  // namespace tarnwick
