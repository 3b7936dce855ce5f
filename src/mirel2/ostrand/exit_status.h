#pragma once
// Orderly ends of the render host other than returning from main: a bundle fault (status 3) is thrown as a
// HostExit and travels up to main, so that every destructor and the staged-file clean-up still run.
#include <string_view>

namespace velmora::ostrand {

// Deliberately not a std::exception: no `catch (const std::exception&)` on the way may swallow it.
struct HostExit {
  int status;
};

// Writes "FATAL: ..." (the message must begin with it) as one diagnostic line and ends the host with status 3.
[[noreturn]] void fatal(std::string_view message);

}  // namespace velmora::ostrand
