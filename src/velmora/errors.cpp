#include "velmora/errors.hpp"

namespace velmora {

Detail Detail::of(std::exception_ptr error) {
  Detail d;
  if (!error) return d;
  d.kind_ = Kind::Exception;
  d.error_ = error;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    d.text_ = e.what();
  } catch (...) {
  }
  return d;
}

}  // namespace velmora
