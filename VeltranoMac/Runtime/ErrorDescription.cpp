#include "Runtime/ErrorDescription.hpp"

#include <boost/system/system_error.hpp>

namespace veltrano {

std::string describe(const std::exception_ptr& error) {
  if (!error) return "unknown error";
  try {
    std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    return e.code().message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace veltrano
