#include "backend/middleware.h"

namespace backend {

const char* const middleware_unreachable =
  "pcscd is not reachable ({}); start it with: sudo systemctl start pcscd";

} // namespace backend
