#include "backend/middleware.h"

namespace backend {

const char* const middleware_unreachable =
  "the Smart Card service is not reachable ({}); start it with: sc start SCardSvr";

} // namespace backend
