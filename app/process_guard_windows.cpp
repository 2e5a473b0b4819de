#include "process_guard.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

void guard_process_memory() {
  // A process DACL that gives the user's other processes no right to read,
  // write or debug this one: only to wait for it, ask its name and end it.
  // The owner may still change it back; an administrator can, as root can.
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(A;;0x00101001;;;OW)(A;;0x00101001;;;SY)", SDDL_REVISION_1, &sd, nullptr))
    return;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) && present)
    SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT,
                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                    nullptr, dacl, nullptr);
  LocalFree(sd);
  // No Windows Error Reporting dialog (nor its dump) when it crashes.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}
