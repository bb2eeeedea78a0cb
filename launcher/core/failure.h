// How a failure travels: as a value that carries the lines the user is to
// read, up to the step of the run that reports them. No lines means success,
// so that `if (Failure failure = step()) return failure;` passes the first
// failure up, and a caller that has a word of its own adds it with then().
#pragma once

#include <string>
#include <utility>
#include <vector>

class Failure {
 public:
  Failure() = default;
  explicit Failure(std::string line) { lines_.push_back(std::move(line)); }

  explicit operator bool() const { return !lines_.empty(); }
  const std::vector<std::string>& lines() const { return lines_; }

  // The same failure with `line` told after its own lines.
  Failure then(std::string line) && {
    lines_.push_back(std::move(line));
    return std::move(*this);
  }

 private:
  std::vector<std::string> lines_;
};
