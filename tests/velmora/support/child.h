#pragma once
// A child process that runs beside the test: its standard input and output are pipes the test talks through,
// its standard error is the test's own.
#include <sys/types.h>

#include <string>
#include <vector>

namespace velmora::testing {

class Child {
 public:
  explicit Child(const std::vector<std::string>& argv);
  // Closes its input and waits for it to end.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void write_line(const std::string& line);
  // The next line of its output without the newline; throws std::runtime_error at its end or after 5 minutes.
  std::string read_line();
  void close_input();
  // Its exit status, or 128 + the signal that ended it. Closes its input first.
  int wait();

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffered_;
  int status_ = -1;
};

// The path of a program built beside the tests.
std::string test_program(const std::string& name);

}  // namespace velmora::testing
