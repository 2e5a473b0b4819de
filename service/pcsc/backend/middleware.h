// The PC/SC middleware's name in the service's error texts: pcscd on Linux,
// the Smart Card service on Windows. One source file each.
#pragma once

namespace backend {

// The context of pcsc_error 3, "{}" standing for the cause.
extern const char* const middleware_unreachable;

} // namespace backend
