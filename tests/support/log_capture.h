#pragma once

// Records what reaches the default logger while it is alive, next to the
// logger's own sinks.

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

namespace testing_support {

struct log_line {
  spdlog::level::level_enum level;
  std::string text;
};

class log_sink : public spdlog::sinks::base_sink<std::mutex> {
public:
  std::vector<log_line> lines() {
    std::lock_guard<std::mutex> guard{mutex_};
    return lines_;
  }

protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines_.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}

private:
  std::vector<log_line> lines_;
};

class LogCapture {
public:
  LogCapture() : sink_(std::make_shared<log_sink>()) {
    spdlog::default_logger()->sinks().push_back(sink_);
  }
  ~LogCapture() {
    auto& sinks = spdlog::default_logger()->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
  }

  std::vector<log_line> lines() const { return sink_->lines(); }

  // The texts logged at `level`, in order.
  std::vector<std::string> at(spdlog::level::level_enum level) const {
    std::vector<std::string> result;
    for (auto& line : lines())
      if (line.level == level)
        result.push_back(line.text);
    return result;
  }

  bool contains(spdlog::level::level_enum level, const std::string& text) const {
    auto texts = at(level);
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  }

  // Whether any line at any level contains `fragment`.
  bool mentions(const std::string& fragment) const {
    for (auto& line : lines())
      if (line.text.find(fragment) != std::string::npos)
        return true;
    return false;
  }

private:
  std::shared_ptr<log_sink> sink_;
};

} // namespace testing_support
