#pragma once

// What the player sees: the standard streams (written with FileSystem::WriteFile), message
// boxes, and the desktop they appear on.

#include "platform/seam_types.h"

namespace veltomarn {

class Interaction {
  public:
    virtual ~Interaction() = default;

    virtual Handle GetStdHandle(uint32_t which) = 0;
    virtual int MessageBoxW(void* owner, const WideChar* text, const WideChar* caption,
                            uint32_t style) = 0;
    virtual void* GetDesktopWindow() = 0;
};

}  // namespace veltomarn
