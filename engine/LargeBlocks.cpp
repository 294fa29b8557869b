#include "engine/LargeBlocks.h"

#include "disk/SystemLayer.h"

void AdviseLargeBlock(void* Start, std::size_t Size) noexcept {
    PlatformSystem().AdviseLargePages(Start, Size);
}
