// How failures on the way to the key become the service's errors: one table,
// read from the top; the first row that fits a failure decides.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "oath/result.h"

namespace backend {

// The requests of the service that can fail.
enum class Request { info, code, access, verify, change };
const char* to_string(Request request);

struct ServiceError {
  enum class Category : uint8_t { fido, pcsc };
  Category category = Category::fido;
  uint8_t code = 0;
  std::string context;  // empty: the error has none

  friend bool operator==(const ServiceError& a, const ServiceError& b) {
    return a.category == b.category && a.code == b.code && a.context == b.context;
  }
};

struct ErrorRow {
  oath::Fault fault;
  std::optional<Request> request;  // nullopt: any request
  std::optional<oath::Step> step;  // nullopt: any step
  ServiceError::Category category;
  uint8_t code;
  // The error's context; "{}" stands for the failure's detail. nullptr: none.
  const char* context;
};

const std::vector<ErrorRow>& error_table();

// The error that answers `request` when it failed with `failure`.
ServiceError to_service_error(Request request, const oath::Failure& failure);

} // namespace backend
