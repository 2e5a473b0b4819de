#include "service_log.h"

#include <iostream>

ServiceLog open_service_log() {
  return {std::cout, std::cerr};
}
