#pragma once

// Who the process runs as, and the access control on what it creates.

#include "platform/seam_types.h"

namespace veltomarn {

class Security {
  public:
    virtual ~Security() = default;

    // `process` is kCurrentProcess.
    virtual bool OpenProcessToken(Handle process, uint32_t desiredAccess, Handle* token) = 0;
    // Only TokenUser is offered: `information` is a buffer of `size` bytes that begins with a
    // TokenUser record. A null buffer of size 0 asks for the size.
    virtual bool GetTokenInformation(Handle token, uint32_t informationClass,
                                     TokenUser* information, uint32_t size,
                                     uint32_t* returnLength) = 0;
    // `*text` is released with LocalFree.
    virtual bool ConvertSidToStringSidW(const void* sid, WideChar** text) = 0;
    // `*descriptor` is a self-relative security descriptor released with LocalFree.
    virtual bool ConvertStringSecurityDescriptorToSecurityDescriptorW(const WideChar* text,
                                                                      uint32_t revision,
                                                                      void** descriptor,
                                                                      uint32_t* size) = 0;
    // `object` was opened with WRITE_DAC: access lists are changed through handles only, never by
    // a path that a link could redirect.
    virtual bool SetKernelObjectSecurity(Handle object, uint32_t securityInformation,
                                         const void* descriptor) = 0;
};

}  // namespace veltomarn
