// The process holds PINs: no core dumps of it, and other processes of the
// same user may neither attach to it nor read its memory. One source file
// per platform.
#pragma once

void guard_process_memory();
