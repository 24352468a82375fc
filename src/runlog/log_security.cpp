// The run log's security descriptor, from its SDDL form.
#include "runlog/log_security.h"

#include <sddl.h>

namespace {

// 0x12008d: FILE_GENERIC_READ, which any plain read open asks for (a viewer,
// Get-Content, type), and append data. The OWNER RIGHTS entry takes from the
// creator the implied right to re-permit the file, so that a standard user
// who happens to create it owns no more of it. The installer states the same.
constexpr wchar_t kLogFileSddl[] =
    L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12008d;;;BU)(A;;0x12008d;;;OW)";

} // namespace

UniqueSecurityDescriptor NewLogFileSecurity() noexcept {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFileSddl, SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return nullptr;
    }
    return UniqueSecurityDescriptor(descriptor);
}
