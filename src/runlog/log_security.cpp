// The run log's security descriptor, from its SDDL form.
#include "runlog/log_security.h"

#include <sddl.h>

namespace {

// 0x120085: read data, append data, read attributes, read control, synchronize.
// The OWNER RIGHTS entry takes from the creator the implied right to re-permit
// the file, so that a standard user who happens to create it owns no more of it.
constexpr wchar_t kLogFileSddl[] =
    L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x120085;;;BU)(A;;0x120085;;;OW)";

} // namespace

UniqueSecurityDescriptor NewLogFileSecurity() noexcept {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFileSddl, SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return nullptr;
    }
    return UniqueSecurityDescriptor(descriptor);
}
